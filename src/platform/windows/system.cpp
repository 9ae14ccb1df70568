#include "platform/system.h"

#include <fcntl.h>
#include <io.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <utility>
#include <vector>

#include "core/scrambled.h"
#include "core/system_program.h"
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

namespace {
// A console shows bytes in its own (OEM) code page, so UTF-8 text turns to mojibake
// there: a console gets UTF-16 through WriteConsoleW. A pipe or file is not a console
// (GetConsoleMode fails) and receives the UTF-8 bytes unchanged.
void write_stream(std::FILE* stream, DWORD standard_handle, std::string_view bytes) {
  const HANDLE handle = GetStdHandle(standard_handle);
  DWORD mode = 0;
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    std::fflush(stream);
    std::wstring text = win::wide(bytes);
    std::wstring_view rest(text);
    while (!rest.empty()) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 16 * 1024));
      if (!WriteConsoleW(handle, rest.data(), chunk, &written, nullptr) || written == 0) return;
      rest.remove_prefix(written);
    }
    return;
  }
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fflush(stream);
}
}  // namespace

void write_standard_output(std::string_view bytes) { write_stream(stdout, STD_OUTPUT_HANDLE, bytes); }

void write_standard_error(std::string_view bytes) { write_stream(stderr, STD_ERROR_HANDLE, bytes); }

bool restrict_dll_search_path() { return SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE; }

namespace {
// GetSystemDirectoryW; empty when it fails (it answers the size it needs when the buffer is short).
std::wstring system_directory() {
  std::vector<wchar_t> buffer(MAX_PATH);
  while (true) {
    const UINT length = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(length);
  }
}
}  // namespace

std::expected<void, OsError> change_to_system_directory() {
  const std::wstring directory = system_directory();
  if (directory.empty()) return std::unexpected(win::last_error());
  if (!SetCurrentDirectoryW(directory.c_str())) return std::unexpected(win::last_error());
  return {};
}

std::string system_directory_program(std::string_view relative) {
  return system_program_path(win::narrow(system_directory()), relative);
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

std::expected<std::string, ExecutablePathError> own_executable_path() {
  std::vector<wchar_t> buffer(MAX_PATH);
  DWORD length = 0;
  while (true) {
    length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::unexpected(ExecutablePathError{.not_unicode = false, .os = win::last_error()});
    if (length < buffer.size()) break;
    // A truncated name fills the buffer: ask again with more room.
    buffer.resize(buffer.size() * 2);
  }
  // Strict: a lone surrogate fails here instead of becoming U+FFFD and naming another file.
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, buffer.data(), static_cast<int>(length), nullptr, 0,
                          nullptr, nullptr) == 0) {
    return std::unexpected(ExecutablePathError{.not_unicode = true, .os = win::last_error()});
  }
  return win::narrow(std::wstring_view(buffer.data(), length));
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

// Windows need not live on C:: every system program is found under the system directory.
ShellCommand date_time_command() {
  static constexpr Scrambled kInterpreter("cmd.exe");
  return {system_directory_program(kInterpreter.reveal()), {"/D", "/S", "/C", "echo %date% %time%"}};
}

std::string powershell_program() {
  static constexpr Scrambled kPowerShell("WindowsPowerShell\\v1.0\\powershell.exe");
  return system_directory_program(kPowerShell.reveal());
}

std::string access_control_tool_program() {
  static constexpr Scrambled kAccessControlTool("icacls.exe");
  return system_directory_program(kAccessControlTool.reveal());
}

std::expected<std::string, OsError> msiexec_program() {
  std::string path = system_directory_program("msiexec.exe");
  if (path.empty()) return std::unexpected(win::last_error());
  return path;
}

std::FILE* open_file(const std::string& utf8_path, const char* mode) {
  // "N": not inherited, so no child keeps our downloads or logs open (a sharing violation
  // on the next rename) after we have closed them.
  return _wfopen(win::wide(utf8_path).c_str(), (win::wide(mode) + L"N").c_str());
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
