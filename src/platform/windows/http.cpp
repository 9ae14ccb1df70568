#include "platform/http.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <utility>

#include "core/text.h"
#include "platform/windows/handle.h"
#include "core/url.h"
#include "platform/windows/win.h"

#include <winhttp.h>

// WinHTTP, synchronous. Each request gets its own session: the proxy is a
// session setting, requests differ in proxy and time limit, and a response that
// owns its whole handle chain outlives the client call without shared state.
// Connection reuse across requests is not worth the coupling for the few
// requests a run makes.
//
// Redirects are followed here, not by WinHTTP: Wine does not implement
// WINHTTP_OPTION_URL, and following ourselves is how the final URL is known.

namespace yoxa::platform {

namespace {

constexpr int kMaxRedirects = 100;
// The most one WinHttpReadData call is asked for; the bare read loop of the benchmark uses the same.
constexpr std::size_t kReadPiece = 65536;

struct InternetTraits {
  using Raw = HINTERNET;
  static Raw none() { return nullptr; }
  static bool valid(Raw raw) { return raw != nullptr; }
  static void close(Raw raw) { WinHttpCloseHandle(raw); }
};
using InternetHandle = win::Unique<InternetTraits>;

std::string cause_of(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
    case WSAETIMEDOUT: return "timed out";
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case WSAECONNREFUSED: return "cannot connect";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "host not found";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "connection lost";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "invalid response";
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME: return "invalid URL";
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED: return "TLS failure";
    default: return "transfer failed";
  }
}

// "WinHttpSendRequest failed: 12029 cannot connect (https://…)"
HttpError failure(std::string_view call, const std::string& url) {
  const DWORD code = GetLastError();
  return HttpError{format("{} failed: {} {} ({})", call, static_cast<unsigned long>(code), cause_of(code), url)};
}

// --- One request over WinHTTP ---

struct Target {
  bool secure = false;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring object;  // path and query
};

std::optional<Target> crack(const std::string& url) {
  const std::wstring wide_url = win::wide(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(wide_url.c_str(), 0, 0, &parts)) return std::nullopt;
  if (parts.nScheme != INTERNET_SCHEME_HTTPS && parts.nScheme != INTERNET_SCHEME_HTTP) return std::nullopt;
  if (parts.dwHostNameLength == 0) return std::nullopt;
  Target target;
  target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  target.port = parts.nPort;
  target.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (target.object.empty()) target.object = L"/";
  const std::wstring extra(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  target.object += extra.substr(0, extra.find(L'#'));
  return target;
}

bool has_line_break(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

std::optional<std::wstring> query_header(HINTERNET request, DWORD info, const wchar_t* name) {
  DWORD bytes = 0;
  if (WinHttpQueryHeaders(request, info, name, WINHTTP_NO_OUTPUT_BUFFER, &bytes, WINHTTP_NO_HEADER_INDEX) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return std::nullopt;
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  if (!WinHttpQueryHeaders(request, info, name, value.data(), &bytes, WINHTTP_NO_HEADER_INDEX)) return std::nullopt;
  value.resize(bytes / sizeof(wchar_t));
  return value;
}

class WinHttpResponse final : public HttpResponse {
 public:
  WinHttpResponse(InternetHandle session, InternetHandle connection, InternetHandle request, std::uint32_t status,
                  std::string url)
      : session_(std::move(session)),
        connection_(std::move(connection)),
        request_(std::move(request)),
        status_(status),
        final_url_(std::move(url)) {}

  std::uint32_t status() const override { return status_; }

  std::optional<std::string> header(std::string_view name) const override {
    const std::wstring wide_name = win::wide(name);
    auto value = query_header(request_.get(), WINHTTP_QUERY_CUSTOM, wide_name.c_str());
    if (!value) return std::nullopt;
    return win::narrow(*value);
  }

  const std::string& final_url() const override { return final_url_; }

  // Fills the buffer unless the body ends or fails first, so callers get chunks of the size
  // they chose. Bytes that arrived before a failure are returned; the failure comes next.
  std::expected<std::size_t, HttpError> read(std::span<char> buffer) override {
    if (failed_) return std::unexpected(*failed_);
    std::size_t filled = 0;
    while (filled < buffer.size()) {
      // Straight into the caller's buffer in large pieces, as a bare read loop does: asking
      // WinHTTP first how much it holds costs a call and a small copy per TLS record. A
      // piece that fails loses only what it had received, which the next resume fetches.
      const DWORD wanted = static_cast<DWORD>(std::min(buffer.size() - filled, kReadPiece));
      DWORD got = 0;
      if (!WinHttpReadData(request_.get(), buffer.data() + filled, wanted, &got)) {
        failed_ = failure("WinHttpReadData", final_url_);
        break;
      }
      if (got == 0) break;  // the end of the body
      filled += got;
    }
    if (filled == 0 && failed_) return std::unexpected(*failed_);
    return filled;
  }

 private:
  InternetHandle session_;  // destroyed last: members go in reverse order
  InternetHandle connection_;
  InternetHandle request_;
  std::uint32_t status_;
  std::string final_url_;
  std::optional<HttpError> failed_;
};

bool is_followed_redirect(DWORD status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// "<-loopback>" keeps WinHTTP from bypassing the proxy for local hosts: the engine's proxy
// decision covers every URL.
std::expected<InternetHandle, HttpError> open_session(const HttpRequest& request, int timeout_ms) {
  const std::wstring agent = win::wide(request.user_agent);
  const std::wstring proxy = win::wide(request.proxy.value_or(""));
  InternetHandle session(request.proxy ? WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(),
                                                     L"<-loopback>", 0)
                                       : WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY,
                                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return std::unexpected(failure("WinHttpOpen", request.url));
  if (!WinHttpSetTimeouts(session.get(), timeout_ms, timeout_ms, timeout_ms, timeout_ms))
    return std::unexpected(failure("WinHttpSetTimeouts", request.url));
  return session;
}

// One GET without following redirects, up to the response headers.
struct Exchange {
  InternetHandle connection;
  InternetHandle request;
  DWORD status = 0;
};

std::expected<Exchange, HttpError> exchange(HINTERNET session, const std::string& url, const std::wstring& headers,
                                            int timeout_ms) {
  const auto target = crack(url);
  if (!target) return std::unexpected(HttpError{format("invalid URL: {}", url)});
  Exchange done;
  done.connection = InternetHandle(WinHttpConnect(session, target->host.c_str(), target->port, 0));
  if (!done.connection) return std::unexpected(failure("WinHttpConnect", url));
  done.request = InternetHandle(WinHttpOpenRequest(done.connection.get(), L"GET", target->object.c_str(), nullptr,
                                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                   target->secure ? WINHTTP_FLAG_SECURE : 0));
  const HINTERNET request = done.request.get();
  if (!request) return std::unexpected(failure("WinHttpOpenRequest", url));
  DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  if (!WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never))
    return std::unexpected(failure("WinHttpSetOption(REDIRECT_POLICY)", url));
  // Wine bounds neither the TLS handshake nor the wait for headers by WinHttpSetTimeouts.
  DWORD response_timeout = static_cast<DWORD>(timeout_ms);
  if (!WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_timeout, sizeof response_timeout))
    return std::unexpected(failure("WinHttpSetOption(RECEIVE_RESPONSE_TIMEOUT)", url));
  if (!headers.empty() &&
      !WinHttpAddRequestHeaders(request, headers.c_str(), static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD))
    return std::unexpected(failure("WinHttpAddRequestHeaders", url));
  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
    return std::unexpected(failure("WinHttpSendRequest", url));
  if (!WinHttpReceiveResponse(request, nullptr)) return std::unexpected(failure("WinHttpReceiveResponse", url));
  DWORD size = sizeof done.status;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                           &done.status, &size, WINHTTP_NO_HEADER_INDEX))
    return std::unexpected(failure("WinHttpQueryHeaders(STATUS_CODE)", url));
  return done;
}

class WinHttpClient final : public HttpClient {
 public:
  std::expected<std::unique_ptr<HttpResponse>, HttpError> send(const HttpRequest& request) override {
    std::wstring headers;
    for (const auto& [name, value] : request.headers) {
      if (name.empty() || has_line_break(name) || has_line_break(value) || name.find(':') != std::string::npos)
        return std::unexpected(HttpError{format("invalid request header: {}", name)});
      headers += win::wide(name + ": " + value + "\r\n");
    }
    // 0 would mean "no limit" to WinHTTP; a request must always end.
    const std::uint64_t limit_ms = std::max<std::uint64_t>(request.timeout_seconds, 1) * 1000u;
    const int timeout_ms = static_cast<int>(std::min<std::uint64_t>(limit_ms, std::numeric_limits<int>::max()));
    auto session = open_session(request, timeout_ms);
    if (!session) return std::unexpected(session.error());

    std::string url = request.url;
    for (int hop = 0;; ++hop) {
      auto done = exchange(session->get(), url, headers, timeout_ms);
      if (!done) return std::unexpected(done.error());
      const auto location =
          is_followed_redirect(done->status)
              ? query_header(done->request.get(), WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX)
              : std::nullopt;
      if (!location) {
        return std::make_unique<WinHttpResponse>(std::move(*session), std::move(done->connection),
                                                 std::move(done->request), static_cast<std::uint32_t>(done->status),
                                                 std::move(url));
      }
      if (hop == kMaxRedirects)
        return std::unexpected(
            HttpError{format("too many redirects: more than {} from {}", kMaxRedirects, request.url)});
      // Any URL is followed, plain http too: the caller judges the final one.
      url = resolve_reference(url, std::string(trim(win::narrow(*location))));
    }
  }
};

}  // namespace

HttpClient& system_http_client() {
  static WinHttpClient client;
  return client;
}

}  // namespace yoxa::platform
