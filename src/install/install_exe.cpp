#include "install/install_exe.h"

#include <memory>

#include "core/messages.h"
#include "core/paths.h"
#include "core/text.h"
#include "install/pipeline.h"
#include "core/log.h"
#include "core/places.h"
#include "platform/ipc.h"

namespace yoxa {

namespace {
// Exit codes are DWORDs, but installers document and log them as signed numbers.
std::int32_t signed_code(std::uint32_t code) { return static_cast<std::int32_t>(code); }
}  // namespace

std::expected<InstallerWaiter, platform::OsError> start_visible(const std::string& program,
                                                                const std::vector<std::string>& arguments) {
  auto started = platform::DetachedProcess::start(program, arguments, platform::StartMode::Visible);
  if (!started) return std::unexpected(started.error());
  auto process = std::make_shared<platform::DetachedProcess>(std::move(*started));
  return InstallerWaiter([process] { return process->wait(); });
}

InstallerOutcome install_exe(const EventSink& sink, std::string_view app_id, const std::string& log_dir,
                             const std::string& package_path, bool machine, const ExeHost& host) {
  // Checked before any path conversion: Windows refuses to convert text that is not UTF-8.
  if (!is_valid_utf8(log_dir)) return std::unexpected(Error::same(msg::kFilesystemError, place::kExeLogPath));
  const std::string log_path = path_to_utf8(path_from_utf8(log_dir) / "exe_installer.log");

  const std::string scope_switch = machine ? "/allusers" : "/currentuser";
  log::info(format("Executing EXE installer: {} (scope={}, {})", package_path, machine, scope_switch));
  const std::vector<std::string> arguments{scope_switch, "/S", "/NORESTART", "/LOG=" + log_path};
  auto waiter = host.start(package_path, arguments);
  if (!waiter) return fail(msg::kInstallationFailed, waiter.error().text, place::kExeStart);

  sink.progress(app_id, 90, "INSTALLING");
  const auto ended = (*waiter)();
  if (!ended) return fail(msg::kInstallationFailed, ended.error().text, place::kExeWait);
  const std::uint32_t code = *ended;

  log::info(format("EXE installer finished with exit code: {}", signed_code(code)));
  switch (code) {
    case 0:
      log::info("EXE installation completed successfully.");
      return InstallerStatus::Succeeded;
    case 2:
      return InstallerStatus::Cancelled;
    case 1641:
    case 3010:
      log::warn(format("EXE installer {} succeeded but requires a reboot (exit {})", package_path, signed_code(code)));
      note_reboot_required();
      return InstallerStatus::Succeeded;
    default: {
      const std::string detail = format("EXE installer failed with exit code: {}", signed_code(code));
      log::error(detail);
      return fail(code == 5 ? msg::kAccessDeniedRunAsAdministrator : msg::kInstallationFailed, detail, place::kExeExitCode);
    }
  }
}

InstallerOutcome install_exe(const EventSink& sink, std::string_view app_id, const std::string& log_dir,
                             const std::string& package_path, bool machine) {
  return install_exe(sink, app_id, log_dir, package_path, machine, ExeHost{});
}

}  // namespace yoxa
