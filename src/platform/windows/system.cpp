#include "platform/system.h"

#include <fcntl.h>
#include <io.h>
#include <shlobj.h>

#include <cstdio>
#include <limits>
#include <utility>
#include <vector>

#include "core/scrambled.h"
#include "core/windows_command_line.h"
#include "platform/security.h"
#include "platform/temp_choice.h"
#include "platform/windows/handle.h"
#include "platform/windows/win.h"

namespace yoxa::platform {

namespace win {
std::string error_text(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  const UniqueLocal owner(buffer);
  std::string text = length ? narrow(std::wstring_view(buffer, length)) : std::string();
  text = std::string(trim(text));
  return format("{} (os error {})", text.empty() ? std::string("error") : text, code);
}
}  // namespace win

std::vector<std::string> command_line_arguments(int, char**) {
  auto arguments = split_windows_command_line(win::narrow(GetCommandLineW()));
  if (!arguments.empty()) arguments.erase(arguments.begin());
  return arguments;
}

void prepare_standard_streams() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

void write_standard_output(std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

void write_standard_error(std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

bool restrict_dll_search_path() { return SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE; }

std::expected<void, OsError> change_to_system_directory() {
  wchar_t directory[MAX_PATH];
  const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::unexpected(win::last_error());
  if (!SetCurrentDirectoryW(directory)) return std::unexpected(win::last_error());
  return {};
}

std::optional<std::string> environment_variable(const std::string& name) {
  const std::wstring wide_name = win::wide(name);
  std::vector<wchar_t> buffer(256);
  while (true) {
    SetLastError(0);
    const DWORD length = GetEnvironmentVariableW(wide_name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (length < buffer.size()) return win::narrow(std::wstring_view(buffer.data(), length));
    buffer.resize(length);
  }
}

namespace {
std::string without_trailing_separator(const wchar_t* buffer, DWORD length) {
  while (length > 3 && (buffer[length - 1] == L'\\' || buffer[length - 1] == L'/')) --length;
  return win::narrow(std::wstring_view(buffer, length));
}

// Resolved at run time: older systems (and Wine 8) do not export it.
std::optional<std::string> temp_path2() {
  using TempPath2 = DWORD(WINAPI*)(DWORD, LPWSTR);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return std::nullopt;
  const auto query = reinterpret_cast<TempPath2>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetTempPath2W")));
  if (query == nullptr) return std::nullopt;
  wchar_t buffer[MAX_PATH + 2];
  const DWORD length = query(MAX_PATH + 2, buffer);
  if (length == 0 || length > MAX_PATH + 1) return std::nullopt;
  return without_trailing_separator(buffer, length);
}

std::string windows_directory() {
  wchar_t buffer[MAX_PATH + 1];
  const UINT length = GetSystemWindowsDirectoryW(buffer, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) return "C:\\Windows";
  return without_trailing_separator(buffer, length);
}
}  // namespace

std::string temp_directory() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  const std::string classic = without_trailing_separator(buffer, length);
  if (!is_local_system()) return classic;
  return choose_temp_directory(true, temp_path2(), windows_directory(), classic);
}

std::optional<std::string> machine_data_directory() {
  wchar_t buffer[MAX_PATH + 1] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer))) return std::nullopt;
  const std::wstring_view path(buffer);
  if (path.empty()) return std::nullopt;
  return without_trailing_separator(buffer, static_cast<DWORD>(path.size()));
}

std::string own_executable_path() {
  std::vector<wchar_t> buffer(MAX_PATH);
  while (true) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length < buffer.size()) return win::narrow(std::wstring_view(buffer.data(), length));
    buffer.resize(buffer.size() * 2);
  }
}

std::uint32_t current_process_id() { return GetCurrentProcessId(); }

// A console hands out UTF-16 whatever the code page; a pipe or file carries the
// launcher's UTF-8 bytes untouched.
std::optional<std::string> read_standard_input() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return std::nullopt;
  DWORD console_mode = 0;
  if (GetConsoleMode(input, &console_mode)) {
    wchar_t buffer[1025];
    DWORD read = 0;
    if (!ReadConsoleW(input, buffer, 1024, &read, nullptr) || read == 0) return std::nullopt;
    // A surrogate pair is never split between two reads.
    if (buffer[read - 1] >= 0xD800 && buffer[read - 1] <= 0xDBFF) {
      DWORD low = 0;
      if (ReadConsoleW(input, buffer + read, 1, &low, nullptr)) read += low;
    }
    return win::narrow(std::wstring_view(buffer, read));
  }
  char buffer[4096];
  DWORD read = 0;
  // A pipe whose writer has gone answers ERROR_BROKEN_PIPE: that is the end of input.
  if (!ReadFile(input, buffer, sizeof buffer, &read, nullptr) || read == 0) return std::nullopt;
  return std::string(buffer, read);
}

std::expected<std::uint64_t, OsError> free_bytes_available(const std::string& path) {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(win::wide(path).c_str(), &available, nullptr, nullptr)) {
    return std::unexpected(win::last_error());
  }
  return available.QuadPart;
}

ShellCommand date_time_command() {
  static constexpr Scrambled kInterpreter("C:\\Windows\\System32\\cmd.exe");
  return {kInterpreter.reveal(), {"/D", "/S", "/C", "echo %date% %time%"}};
}

std::string powershell_program() {
  static constexpr Scrambled kPowerShell("C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe");
  return kPowerShell.reveal();
}

std::string access_control_tool_program() {
  static constexpr Scrambled kAccessControlTool("C:\\Windows\\System32\\icacls.exe");
  return kAccessControlTool.reveal();
}

std::FILE* open_file(const std::string& utf8_path, const char* mode) {
  return _wfopen(win::wide(utf8_path).c_str(), win::wide(mode).c_str());
}

bool seek_file(std::FILE* file, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<long long>::max())) return false;
  return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
}

std::optional<std::uint64_t> open_file_size(std::FILE* file) {
  if (_fseeki64(file, 0, SEEK_END) != 0) return std::nullopt;
  const long long size = _ftelli64(file);
  if (size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(size);
}

}  // namespace yoxa::platform

namespace yoxa::platform {

std::expected<std::string, OsError> volume_path_name(const std::string& path) {
  wchar_t volume[MAX_PATH + 1] = {};
  if (!GetVolumePathNameW(win::wide(path).c_str(), volume, MAX_PATH + 1)) return std::unexpected(win::last_error());
  return win::narrow(volume);
}

}  // namespace yoxa::platform
