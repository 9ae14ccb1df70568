#pragma once
// What the uninstall engine asks of the machine beyond the run context. Production
// defaults; tests replace any member.
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "install/install_msi.h"
#include "install/staging.h"
#include "platform/os_error.h"
#include "platform/system.h"
#include "system/command_runner.h"

namespace yoxa {

// How one app's removal ended, short of an error.
enum class Removal : std::uint8_t { Removed, NotInstalled };
using RemovalOutcome = Result<Removal>;

// How a registered uninstaller ended: its exit code and the first part of its output.
struct CapturedRun {
  std::uint32_t exit_code = 0;
  std::string standard_error;
  std::string standard_output;
  bool timed_out = false;         // still running at the limit, and ended by us
  bool output_truncated = false;  // more output than kUninstallerOutputLimit per stream
};

// How long an uninstaller may run, and what to do about once a second meanwhile.
struct UninstallerWait {
  std::chrono::seconds limit;
  std::function<void()> on_poll;
};

// Per stream: enough for any honest uninstaller's report.
inline constexpr std::size_t kUninstallerOutputLimit = 1024 * 1024;

using CapturingRunner = std::function<std::expected<CapturedRun, platform::OsError>(
    const std::string& program, const std::vector<std::string>& arguments, const UninstallerWait& wait)>;
std::expected<CapturedRun, platform::OsError> run_capturing(const std::string& program,
                                                            const std::vector<std::string>& arguments,
                                                            const UninstallerWait& wait);

struct UninstallHost {
  ScriptRunner powershell = [](const std::string& script, std::uint32_t limit) { return run_powershell(script, limit); };
  std::function<bool()> is_elevated;
  std::function<std::optional<std::string>(const std::string& name)> environment_variable;
  std::function<void(std::string_view process_name)> stop_running_app;
  ProgramRunner run_msiexec = run_and_wait;
  CapturingRunner run_uninstaller = run_capturing;
  std::function<std::expected<std::string, platform::OsError>()> msiexec_program = platform::msiexec_program;

  UninstallHost();
};

}  // namespace yoxa
