#pragma once
#include <cstdint>
#include <cstdio>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace yoxa::platform {

// The process's arguments as UTF-8, the program name dropped (Windows: the wide
// command line split by the C runtime's rules).
std::vector<std::string> command_line_arguments(int argc, char** argv);

// Binary mode for standard output and error: UTF-8 bytes, LF without CR.
void prepare_standard_streams();
// Written and flushed; errors ignored. UTF-8 bytes to a pipe or file; a Windows console
// gets the same text as UTF-16 (WriteConsoleW), whatever its code page.
void write_standard_output(std::string_view bytes);
void write_standard_error(std::string_view bytes);

// Restricts the DLL search path to the system directory; false when that fails.
bool restrict_dll_search_path();
std::expected<void, OsError> change_to_system_directory();

std::optional<std::string> environment_variable(const std::string& name);
// The platform's temporary directory, without a trailing separator: GetTempPathW, or for
// LocalSystem the protected SystemTemp directory (temp_choice.h).
std::string temp_directory();
// The all-users data directory (ProgramData) from the known-folder store, never from
// the environment a user may set; none when the query fails.
std::optional<std::string> machine_data_directory();
// Why the running executable's path cannot be used: the OS could not say (its error), or
// it named a path with no UTF-8 form (an unpaired surrogate), which no mangled copy replaces.
struct ExecutablePathError {
  bool not_unicode = false;
  OsError os;
};
std::expected<std::string, ExecutablePathError> own_executable_path();
std::uint32_t current_process_id();

// The next bytes of standard input, as many as one read returns; none at end of
// input or on a read error. From a console the characters are read wide and
// converted to UTF-8; from a pipe or file the bytes are taken as they are.
std::optional<std::string> read_standard_input();

// Bytes of free space available to the caller on the volume holding `path`.
std::expected<std::uint64_t, OsError> free_bytes_available(const std::string& path);
// The mount point of the volume holding `path` (GetVolumePathNameW), e.g. "C:\\".
std::expected<std::string, OsError> volume_path_name(const std::string& path);

// The interpreter command that prints the wall-clock date and time.
struct ShellCommand {
  std::string program;
  std::vector<std::string> leading_arguments;
};
ShellCommand date_time_command();

// The programs the engine runs, where this platform keeps them.
std::string powershell_program();
std::string access_control_tool_program();
// The system's own msiexec, in the system directory wherever Windows lives.
std::expected<std::string, OsError> msiexec_program();
// `relative` (e.g. "cmd.exe") under the system directory the platform reports
// (GetSystemDirectoryW), never under an assumed drive; empty when it cannot be asked.
std::string system_directory_program(std::string_view relative);

// std::fopen with a UTF-8 path (wide on Windows); null with errno set on failure.
// The file is not inherited by child processes.
std::FILE* open_file(const std::string& utf8_path, const char* mode);
// Moves an open file to an absolute position, 64-bit everywhere; false on failure.
bool seek_file(std::FILE* file, std::uint64_t offset);
// The size of an open file, by seeking to its end; none on failure.
std::optional<std::uint64_t> open_file_size(std::FILE* file);

}  // namespace yoxa::platform
