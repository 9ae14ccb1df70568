#include "uninstall/uninstall_host.h"

#include <chrono>

#include "install/staging.h"
#include "platform/process.h"
#include "platform/security.h"
#include "platform/system.h"

namespace yoxa {

std::expected<CapturedRun, platform::OsError> run_capturing(const std::string& program,
                                                            const std::vector<std::string>& arguments,
                                                            const UninstallerWait& wait) {
  auto child = platform::ChildProcess::start(program, arguments);
  if (!child) return std::unexpected(child.error());
  child->limit_output(kUninstallerOutputLimit);
  CapturedRun ran;
  const auto deadline = std::chrono::steady_clock::now() + wait.limit;
  while (true) {
    auto state = child->wait_for(std::chrono::seconds(1));
    if (!state) return std::unexpected(state.error());
    if (*state) {
      ran.exit_code = **state;
      break;
    }
    if (wait.on_poll) wait.on_poll();
    if (std::chrono::steady_clock::now() >= deadline) {
      // Left running, a hung uninstaller would hold the next app's removal up (or our pipes open).
      if (auto ended = child->terminate(1); !ended) return std::unexpected(ended.error());
      ran.timed_out = true;
      break;
    }
  }
  // Collect what is left without blocking: an uninstaller that hands its work to a child of
  // its own may leave our pipes open in that child until it ends.
  if (auto rest = child->wait_for(std::chrono::milliseconds(0)); !rest) return std::unexpected(rest.error());
  ran.standard_error = child->standard_error();
  ran.standard_output = child->standard_output();
  ran.output_truncated = child->output_truncated();
  return ran;
}

UninstallHost::UninstallHost()
    : is_elevated([] { return platform::is_elevated(); }),
      environment_variable([](const std::string& name) { return platform::environment_variable(name); }),
      stop_running_app([](std::string_view name) { (void)yoxa::stop_running_app(name); }) {}

}  // namespace yoxa
