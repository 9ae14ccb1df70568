#include "install/install_msi.h"

#include <cstdint>

#include "core/messages.h"
#include "core/places.h"
#include "core/paths.h"
#include "core/text.h"
#include "install/pipeline.h"
#include "core/log.h"

namespace yoxa {

namespace {

// Windows exit codes are DWORDs, but msiexec's are read as signed numbers in its documentation and logs.
std::int32_t signed_code(std::uint32_t code) { return static_cast<std::int32_t>(code); }

const char* message_for_exit_code(std::uint32_t code) {
  switch (code) {
    case 1603: return msg::kInstallationFailedRestart;
    case kMsiBusyExitCode: return msg::kAnotherInstallation;
    case 1633: return msg::kWrongProcessor;
    default: return msg::kInstallationFailed;
  }
}
}  // namespace

std::expected<std::uint32_t, platform::OsError> run_and_wait(const std::string& program,
                                                             const std::vector<std::string>& arguments) {
  auto child = platform::ChildProcess::start(program, arguments);
  if (!child) return std::unexpected(child.error());
  return child->wait();
}

InstallerOutcome install_msi(const EventSink& sink, std::string_view app_id, const std::string& log_dir,
                             const std::string& package_path, bool machine, const MsiHost& host) {
  // Checked before any path conversion: Windows refuses to convert text that is not UTF-8.
  if (!is_valid_utf8(log_dir)) return std::unexpected(Error::same(msg::kFilesystemError, place::kMsiLogPath));
  const std::string log_path = path_to_utf8(path_from_utf8(log_dir) / "msiexec.log");

  const std::string scope_property = machine ? "ALLUSERS=1" : "MSIINSTALLPERUSER=1";
  log::info(format("Executing msiexec for {} (scope={}, {})", package_path, machine, scope_property));
  sink.progress(app_id, 90, "INSTALLING");

  const std::vector<std::string> arguments{"/i", package_path, "/L*V", log_path, "/qn", "/norestart", scope_property};
  std::uint32_t code = 0;
  for (std::uint32_t attempt = 1;; ++attempt) {
    auto ended = host.run(host.msiexec, arguments);
    if (!ended) return fail(msg::kInstallationFailed, ended.error().text, place::kMsiStart);
    code = *ended;
    if (code != kMsiBusyExitCode || attempt > kMsiBusyRetries) break;
    log::warn(format("msiexec for {} returned 1618 (another install in progress); retry {}/{} in {}s", package_path,
                     attempt, kMsiBusyRetries, kMsiBusyPause.count()));
    host.sleep(kMsiBusyPause);
  }

  log::info(format("msiexec finished with status: {}", signed_code(code)));
  switch (code) {
    case 0:
      log::info("Installation process seems successful.");
      return InstallerStatus::Succeeded;
    case 1641:
    case 3010:
      log::warn(format("msiexec for {} succeeded but requires a reboot (exit {})", package_path, signed_code(code)));
      note_reboot_required();
      return InstallerStatus::Succeeded;
    case 1602:
      host.sleep(kMsiCancelPause);
      return InstallerStatus::Cancelled;
    default:
      return fail(message_for_exit_code(code), format("Installer failed with exit code: {}", signed_code(code)),
                  place::kMsiExitCode);
  }
}

InstallerOutcome install_msi(const EventSink& sink, std::string_view app_id, const std::string& log_dir,
                             const std::string& package_path, bool machine) {
  return install_msi(sink, app_id, log_dir, package_path, machine, MsiHost{});
}

InstallerOutcome install_msi(const RunContext& run, const InstallRequest& request) {
  return install_msi(run.sink, request.app.id, run.settings.log_dir, request.package_path, request.machine);
}

}  // namespace yoxa
