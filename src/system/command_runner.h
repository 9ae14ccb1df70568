#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "core/error.h"
#include "platform/system.h"

namespace yoxa {

// Runs a PowerShell script with a time limit in seconds (run_powershell in production).
using ScriptRunner = std::function<Result<std::string>(const std::string& script, std::uint32_t limit_seconds)>;

// The PowerShell executable and its leading arguments (the script comes last).
platform::ShellCommand powershell_command();

// Runs a script hidden, polling once a second up to `limit_seconds` (0: no limit),
// and returns its trimmed standard output or an error whose message names the failure.
Result<std::string> run_powershell(const std::string& script, std::uint32_t limit_seconds);
// The same with another shell, so tests can stand in for PowerShell.
Result<std::string> run_shell_script(const platform::ShellCommand& shell, const std::string& script,
                                     std::uint32_t limit_seconds);

// "exit code: 1", or "exit code: 0x80070005" from 0x80000000 up.
std::string exit_status_text(std::uint32_t code);

}  // namespace yoxa
