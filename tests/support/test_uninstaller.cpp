// An NSIS-style uninstaller for the Wine tests. It never touches its own folder: the
// engine is expected to clean that up.
//
//   test_uninstaller --register --hive hkcu|hklm --key SUBKEY --name NAME [--program PATH] [options]
//       writes the Uninstall entry SUBKEY (below ...\CurrentVersion\Uninstall) with DisplayName
//       NAME, a Yoxa publisher, a version and UninstallString "PATH" --hive .. --key .. [options];
//       --command TEXT registers TEXT instead ("<NUL>" in it stands for a NUL character), and
//       --install-location DIR adds InstallLocation.
//   test_uninstaller --hive H --key SUBKEY [--delay-ms N] [--sleep-ms N] [--spam-bytes N] [--keep-entry]
//                    [/S] [_?=DIR]
//       the uninstall itself: appends its arguments to %TEMP%\yoxa-test-uninstaller.args, writes
//       a line to stdout (after N more bytes with --spam-bytes) and to stderr, works N ms with
//       --sleep-ms, then removes the entry: at once, or after N ms from a detached copy in %TEMP%
//       (so it exits before its work is done), or never (--keep-entry).
//   test_uninstaller --child --hive H --key SUBKEY --delay-ms N: the delayed removal.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const std::wstring kUninstallRoot = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

struct Options {
  bool reg = false;
  bool child = false;
  bool keep_entry = false;
  std::wstring hive = L"hkcu";
  std::wstring key;
  std::wstring name;
  std::wstring program;
  std::wstring command;
  std::wstring install_location;
  unsigned long delay_ms = 0;
  unsigned long sleep_ms = 0;
  unsigned long spam_bytes = 0;
};

Options parse(int argc, wchar_t** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const auto next = [&]() -> std::wstring { return i + 1 < argc ? argv[++i] : L""; };
    if (arg == L"--register") options.reg = true;
    else if (arg == L"--child") options.child = true;
    else if (arg == L"--keep-entry") options.keep_entry = true;
    else if (arg == L"--hive") options.hive = next();
    else if (arg == L"--key") options.key = next();
    else if (arg == L"--name") options.name = next();
    else if (arg == L"--program") options.program = next();
    else if (arg == L"--delay-ms") options.delay_ms = std::wcstoul(next().c_str(), nullptr, 10);
    else if (arg == L"--sleep-ms") options.sleep_ms = std::wcstoul(next().c_str(), nullptr, 10);
    else if (arg == L"--spam-bytes") options.spam_bytes = std::wcstoul(next().c_str(), nullptr, 10);
    else if (arg == L"--command") options.command = next();
    else if (arg == L"--install-location") options.install_location = next();
  }
  return options;
}

HKEY hive_of(const Options& options) { return options.hive == L"hklm" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }
REGSAM view_of(const Options& options) { return options.hive == L"hklm" ? KEY_WOW64_64KEY : 0; }

std::wstring own_path() {
  wchar_t buffer[32768];
  const DWORD length = GetModuleFileNameW(nullptr, buffer, 32768);
  return std::wstring(buffer, length);
}

std::wstring temp_file(const wchar_t* name) {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  return std::wstring(buffer, length) + name;
}

bool set_text(HKEY key, const wchar_t* name, const std::wstring& value) {
  const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes) == ERROR_SUCCESS;
}

std::wstring with_nuls(std::wstring text) {
  for (std::size_t at; (at = text.find(L"<NUL>")) != std::wstring::npos;) text.replace(at, 5, 1, L'\0');
  return text;
}

int register_entry(const Options& options) {
  const std::wstring program = options.program.empty() ? own_path() : options.program;
  std::wstring command = L"\"" + program + L"\" --hive " + options.hive + L" --key " + options.key;
  if (options.delay_ms > 0) command += L" --delay-ms " + std::to_wstring(options.delay_ms);
  if (options.sleep_ms > 0) command += L" --sleep-ms " + std::to_wstring(options.sleep_ms);
  if (options.spam_bytes > 0) command += L" --spam-bytes " + std::to_wstring(options.spam_bytes);
  if (options.keep_entry) command += L" --keep-entry";
  if (!options.command.empty()) command = with_nuls(options.command);
  HKEY key = nullptr;
  if (RegCreateKeyExW(hive_of(options), (kUninstallRoot + options.key).c_str(), 0, nullptr, 0,
                      KEY_WRITE | view_of(options), nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return 2;
  }
  const bool written = set_text(key, L"DisplayName", options.name) && set_text(key, L"Publisher", L"Yoxa Test") &&
                       set_text(key, L"DisplayVersion", L"1.0.0") && set_text(key, L"UninstallString", command) &&
                       (options.install_location.empty() ||
                        set_text(key, L"InstallLocation", options.install_location));
  RegCloseKey(key);
  return written ? 0 : 3;
}

int remove_entry(const Options& options) {
  const LSTATUS status = RegDeleteKeyExW(hive_of(options), (kUninstallRoot + options.key).c_str(), view_of(options), 0);
  return status == ERROR_SUCCESS ? 0 : 4;
}

std::string utf8(const wchar_t* wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size - 1 : 0), '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), size, nullptr, nullptr);
  return out;
}

// One argument a line, UTF-8, and "--" after each run.
void record(int argc, wchar_t** argv) {
  std::FILE* file = _wfopen(temp_file(L"yoxa-test-uninstaller.args").c_str(), L"ab");
  if (file == nullptr) return;
  std::string text;
  for (int i = 1; i < argc; ++i) text += utf8(argv[i]) + "\n";
  text += "--\n";
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
}

// A copy outside the uninstaller's folder does the work, so the folder holds the uninstaller alone.
int remove_later(const Options& options) {
  const std::wstring copy = temp_file(L"yoxa-test-uninstaller-child.exe");
  if (!CopyFileW(own_path().c_str(), copy.c_str(), FALSE)) return 5;
  std::wstring command = L"\"" + copy + L"\" --child --hive " + options.hive + L" --key " + options.key +
                         L" --delay-ms " + std::to_wstring(options.delay_ms);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(copy.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | DETACHED_PROCESS,
                      nullptr, nullptr, &startup, &info)) {
    return 6;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const Options options = parse(argc, argv);
  if (options.key.empty()) return 1;
  if (options.reg) return register_entry(options);
  if (options.child) {
    Sleep(options.delay_ms);
    return remove_entry(options);
  }
  record(argc, argv);
  if (options.spam_bytes > 0) {
    const std::string chunk(4096, 'x');
    for (unsigned long left = options.spam_bytes; left > 0;) {
      const unsigned long n = left < chunk.size() ? left : static_cast<unsigned long>(chunk.size());
      std::fwrite(chunk.data(), 1, n, stdout);
      left -= n;
    }
    std::fputs("\n", stdout);
  }
  std::fputs("test uninstaller: removing the app\n", stdout);
  std::fputs("test uninstaller: a note on stderr\n", stderr);
  std::fflush(stdout);
  if (options.sleep_ms > 0) Sleep(options.sleep_ms);
  if (options.keep_entry) return 0;
  if (options.delay_ms > 0) return remove_later(options);
  return remove_entry(options);
}
