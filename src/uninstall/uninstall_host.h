#pragma once
// What the uninstall engine asks of the machine beyond the run context. Production
// defaults; tests replace any member.
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
#include "system/command_runner.h"

namespace yoxa {

// How one app's removal ended, short of an error.
enum class Removal : std::uint8_t { Removed, NotInstalled };
using RemovalOutcome = Result<Removal>;

// The uninstaller's exit code and output; unlike a tool run, its wait has no time limit.
using CapturedRun = ToolOutcome;
using CapturingRunner = ToolRunner;
std::expected<CapturedRun, platform::OsError> run_capturing(const std::string& program,
                                                            const std::vector<std::string>& arguments);

struct UninstallHost {
  ScriptRunner powershell = [](const std::string& script, std::uint32_t limit) { return run_powershell(script, limit); };
  std::function<bool()> is_elevated;
  std::function<std::optional<std::string>(const std::string& name)> environment_variable;
  std::function<void(std::string_view process_name)> stop_running_app;
  ProgramRunner run_msiexec = run_and_wait;
  CapturingRunner run_uninstaller = run_capturing;

  UninstallHost();
};

}  // namespace yoxa
