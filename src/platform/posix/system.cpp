#include "platform/system.h"

#include <limits.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <cstring>
#include <filesystem>
#include <utility>

#include "core/text.h"
#include "platform/posix/fd.h"

namespace yoxa::platform {

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return arguments;
}

void prepare_standard_streams() {}

void write_standard_output(std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

void write_standard_error(std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

// There is no DLL search path to restrict on POSIX.
bool restrict_dll_search_path() { return true; }

// The stand-in keeps the inherited directory: tests run the native engine from
// their own working directories.
std::expected<void, OsError> change_to_system_directory() { return {}; }

std::optional<std::string> environment_variable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

std::string temp_directory() {
  std::error_code error;
  auto path = std::filesystem::temp_directory_path(error);
  std::string text = error ? std::string("/tmp") : path.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// The stand-in has no known-folder store: the variable keeps its Windows meaning.
std::optional<std::string> machine_data_directory() { return environment_variable("ProgramData"); }

std::expected<std::string, ExecutablePathError> own_executable_path() {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return std::unexpected(ExecutablePathError{.not_unicode = false, .os = posix::errno_error(errno)});
  std::string path(buffer, static_cast<std::size_t>(length));
  if (!is_valid_utf8(path)) return std::unexpected(ExecutablePathError{.not_unicode = true, .os = posix::errno_error(EILSEQ)});
  return path;
}

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(::getpid()); }

// Reads the descriptor directly, not through stdio, so nothing is held back in a
// buffer another reader could miss.
std::optional<std::string> read_standard_input() {
  char buffer[4096];
  while (true) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
  }
}

std::expected<std::uint64_t, OsError> free_bytes_available(const std::string& path) {
  struct statvfs info{};
  if (::statvfs(path.c_str(), &info) != 0) {
    const int code = errno;
    return std::unexpected(OsError{static_cast<std::uint32_t>(code), std::strerror(code)});
  }
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

ShellCommand date_time_command() { return {"/bin/sh", {"-c", "date '+%a %m/%d/%Y %H:%M:%S'"}}; }

// Tests put stand-ins at these paths or replace the runners altogether.
std::string powershell_program() { return "/usr/bin/pwsh"; }
std::string access_control_tool_program() { return "/usr/bin/icacls"; }
std::expected<std::string, OsError> msiexec_program() { return std::string("/usr/bin/msiexec"); }
std::string system_directory_program(std::string_view relative) {
  std::string path = "/usr/bin/" + std::string(relative);
  for (char& c : path) if (c == '\\') c = '/';
  return path;
}

std::FILE* open_file(const std::string& utf8_path, const char* mode) { return std::fopen(utf8_path.c_str(), mode); }

bool seek_file(std::FILE* file, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
  return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

std::optional<std::uint64_t> open_file_size(std::FILE* file) {
  if (::fseeko(file, 0, SEEK_END) != 0) return std::nullopt;
  const off_t size = ::ftello(file);
  if (size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(size);
}

}  // namespace yoxa::platform

#include <sys/stat.h>

namespace yoxa::platform {

// The highest ancestor of `path` on the same device: its mount point.
std::expected<std::string, OsError> volume_path_name(const std::string& path) {
  struct stat info{};
  if (::stat(path.c_str(), &info) != 0) {
    const int code = errno;
    return std::unexpected(OsError{static_cast<std::uint32_t>(code), std::strerror(code)});
  }
  std::filesystem::path current = std::filesystem::absolute(path).lexically_normal();
  while (current.has_relative_path()) {
    std::filesystem::path parent = current.parent_path();
    struct stat above{};
    if (::stat(parent.c_str(), &above) != 0 || above.st_dev != info.st_dev) break;
    current = std::move(parent);
  }
  return current.string();
}

}  // namespace yoxa::platform
