#pragma once
// The registered uninstall command, taken apart and completed for a silent run. Registry
// text is outside input: nothing here interprets more than the leading quoted program.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace yoxa {

struct UninstallCommand {
  std::string program;  // empty when the text holds none
  std::vector<std::string> arguments;
};

// A leading quoted program ends at the next quote; otherwise the first white-space piece
// is the program. Arguments are split at white space; their quotes are kept as they are.
UninstallCommand split_uninstall_command(std::string_view text);

// The file name of a Windows or POSIX path without its extension.
std::string program_stem(std::string_view program);
bool is_msiexec(std::string_view program);

// Quiet, no restart and a verbose log, each only when the command lacks it. The log switch
// is added only when there is a log path to give it.
void add_msiexec_switches(std::vector<std::string>& arguments, const std::optional<std::string>& log_path);

// The directory an NSIS-style uninstaller runs in place for: the registered install
// location, else the program's directory, without trailing backslashes; none when neither.
std::optional<std::string> nsis_install_dir(std::string_view program, const std::optional<std::string>& install_location);
// "/S" unless present; "_?=" with `install_dir` unless present. False when "_?=" was needed
// but there was no directory for it.
bool add_nsis_switches(std::vector<std::string>& arguments, const std::optional<std::string>& install_dir);

// ["a", "b"]: each argument quoted, with quotes and backslashes escaped.
std::string argument_list_text(const std::vector<std::string>& arguments);

}  // namespace yoxa
