// https_probe URL [--range N] [--proxy HOST:PORT | --system-proxy] [--out FILE]
//                 [--timeout MS]
// One WinHTTP GET, independent of the engine, to check the test network fixtures
// under Wine. Prints "status=N", then "content-length=N" when the response has
// one, then "bytes=N" (body bytes read), one per line; exit 0. A transport
// failure prints "error=STEP CODE" (the WinHTTP error) and exits 2.
// --system-proxy reads ProxyEnable/ProxyServer from the current user's Internet
// Settings, the values the proxy fixture writes.
#include <windows.h>
#include <winhttp.h>
#include <psapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Options {
  std::wstring url;
  std::wstring proxy;
  std::wstring out;
  long long range = -1;
  DWORD timeout_ms = 15000;
  bool system_proxy = false;
};

bool parse(int argc, wchar_t** argv, Options& options) {
  if (argc < 2) return false;
  options.url = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::wstring flag = argv[i];
    if (flag == L"--system-proxy") {
      options.system_proxy = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const wchar_t* value = argv[++i];
    if (flag == L"--range") options.range = _wtoi64(value);
    else if (flag == L"--proxy") options.proxy = value;
    else if (flag == L"--out") options.out = value;
    else if (flag == L"--timeout") options.timeout_ms = static_cast<DWORD>(_wtoi(value));
    else return false;
  }
  return true;
}

std::wstring system_proxy() {
  HKEY key = nullptr;
  const wchar_t* path = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return L"";
  DWORD enabled = 0;
  DWORD size = sizeof enabled;
  std::wstring server;
  if (RegQueryValueExW(key, L"ProxyEnable", nullptr, nullptr, reinterpret_cast<BYTE*>(&enabled), &size) ==
          ERROR_SUCCESS &&
      enabled == 1) {
    wchar_t text[512] = {};
    size = sizeof text - sizeof(wchar_t);
    if (RegQueryValueExW(key, L"ProxyServer", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) == ERROR_SUCCESS)
      server = text;
  }
  RegCloseKey(key);
  return server;
}

int transport_error(const char* step) {
  std::printf("error=%s %lu\n", step, GetLastError());
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr, "usage: https_probe URL [--range N] [--proxy HOST:PORT | --system-proxy] [--out FILE] "
                         "[--timeout MS]\n");
    return 64;
  }
  if (options.system_proxy) options.proxy = system_proxy();

  wchar_t host[256] = {};
  wchar_t path[2048] = {};
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = 255;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 2047;
  if (!WinHttpCrackUrl(options.url.c_str(), 0, 0, &parts)) return transport_error("crack-url");

  HINTERNET session =
      options.proxy.empty()
          ? WinHttpOpen(L"https_probe/1", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)
          : WinHttpOpen(L"https_probe/1", WINHTTP_ACCESS_TYPE_NAMED_PROXY, options.proxy.c_str(), L"", 0);
  if (!session) return transport_error("open");
  const int timeout = static_cast<int>(options.timeout_ms);
  WinHttpSetTimeouts(session, timeout, timeout, timeout, timeout);
  HINTERNET connection = WinHttpConnect(session, host, parts.nPort, 0);
  if (!connection) return transport_error("connect");
  const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  HINTERNET request = WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, secure);
  if (!request) return transport_error("open-request");
  // Wine's WinHTTP does not bound the wait for headers by the timeouts above.
  DWORD receive = options.timeout_ms;
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receive, sizeof receive);
  if (options.range >= 0) {
    const std::wstring header = L"Range: bytes=" + std::to_wstring(options.range) + L"-";
    WinHttpAddRequestHeaders(request, header.c_str(), static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD);
  }
  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
    return transport_error("send");
  if (!WinHttpReceiveResponse(request, nullptr)) return transport_error("receive");

  DWORD status = 0;
  DWORD size = sizeof status;
  WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                      &status, &size, WINHTTP_NO_HEADER_INDEX);
  std::printf("status=%lu\n", status);
  wchar_t length[32] = {};
  size = sizeof length;
  if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, length, &size,
                          WINHTTP_NO_HEADER_INDEX))
    std::printf("content-length=%ls\n", length);

  FILE* out = options.out.empty() ? nullptr : _wfopen(options.out.c_str(), L"wb");
  unsigned long long total = 0;
  std::vector<char> buffer(65536);
  for (;;) {
    DWORD got = 0;
    if (!WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
      if (out) std::fclose(out);
      return transport_error("read");
    }
    if (got == 0) break;
    if (out) std::fwrite(buffer.data(), 1, got, out);
    total += got;
  }
  if (out) std::fclose(out);
  std::printf("bytes=%llu\n", total);
  PROCESS_MEMORY_COUNTERS counters{};
  if (K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    std::fprintf(stderr, "peak VmHWM: %llu kB\n", static_cast<unsigned long long>(counters.PeakWorkingSetSize / 1024));
  }
  WinHttpCloseHandle(request);
  WinHttpCloseHandle(connection);
  WinHttpCloseHandle(session);
  return 0;
}
