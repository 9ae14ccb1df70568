#include "uninstall/uninstall_host.h"

#include <chrono>

#include "install/staging.h"
#include "platform/process.h"
#include "platform/security.h"
#include "platform/system.h"

namespace yoxa {

std::expected<CapturedRun, platform::OsError> run_capturing(const std::string& program,
                                                            const std::vector<std::string>& arguments) {
  auto child = platform::ChildProcess::start(program, arguments);
  if (!child) return std::unexpected(child.error());
  auto ended = child->wait();
  if (!ended) return std::unexpected(ended.error());
  // Collect what is left without blocking: an uninstaller that hands its work to a child of
  // its own may leave our pipes open in that child until it ends.
  if (auto rest = child->wait_for(std::chrono::milliseconds(0)); !rest) return std::unexpected(rest.error());
  return CapturedRun{
      .exit_code = *ended, .standard_error = child->standard_error(), .standard_output = child->standard_output()};
}

UninstallHost::UninstallHost()
    : is_elevated([] { return platform::is_elevated(); }),
      environment_variable([](const std::string& name) { return platform::environment_variable(name); }),
      stop_running_app([](std::string_view name) { (void)yoxa::stop_running_app(name); }) {}

}  // namespace yoxa
