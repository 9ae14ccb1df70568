#pragma once
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "acquisition/package_provider.h"
#include "core/app_table.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/paths.h"
#include "core/protocol_event.h"
#include "install/install_exe.h"
#include "install/install_msi.h"
#include "system/compatibility.h"
#include "system/detection.h"

namespace yoxa {

// What one install or update run works on.
struct InstallRunSettings {
  std::string staging_base;  // config_base_dir of the run's scope
  std::string log_dir;       // where installers write their logs
  std::string quit_file;     // the run goes on while it exists
  std::vector<std::string> app_ids;
  bool machine = false;  // the run's scope is machine
};

struct InstallOutcome {
  std::vector<AppResult> results;  // in the order reported
  bool aborted = false;            // the per-app loop stopped before the last selected app
};

// One installer per installer kind; each returns success, cancelled or an error.
using MsiInstallFn = std::function<InstallerOutcome(const EventSink& sink, std::string_view app_id,
                                                    const std::string& log_dir, const std::string& package_path,
                                                    bool machine)>;
using MsixInstallFn = std::function<InstallerOutcome(const EventSink& sink, const AppDescriptor& app,
                                                     const std::string& package_path, bool machine,
                                                     const PreparedDependencies& dependencies)>;
using ExeInstallFn = MsiInstallFn;

// Stand-ins for the kinds whose installers this build does not have yet: they fail the app.
InstallerOutcome msix_installer_unavailable(const EventSink& sink, const AppDescriptor& app,
                                           const std::string& package_path, bool machine,
                                           const PreparedDependencies& dependencies);
InstallerOutcome exe_installer_unavailable(const EventSink& sink, std::string_view app_id, const std::string& log_dir,
                                           const std::string& package_path, bool machine);

// Everything the pipeline asks of the machine. Production defaults; tests replace any member.
struct InstallHost {
  // Compatibility gate.
  std::function<Result<std::uint32_t>()> windows_build = [] { return yoxa::windows_build(); };
  std::function<ProcessorArch()> processor_architecture = [] { return yoxa::processor_architecture(); };

  // Staging and the machine around the install.
  std::function<Result<void>(const std::string& staging_base, std::span<const AppDescriptor* const> selected,
                             bool machine)>
      check_disk_space = [](const std::string& base, std::span<const AppDescriptor* const> selected, bool machine) {
        return yoxa::check_disk_space(base, selected, machine);
      };
  std::function<Result<void>(const std::string& staging_base)> prepare_machine_staging_directory =
      [](const std::string& base) { return yoxa::prepare_machine_staging_directory(base); };
  std::function<void(std::string_view process_name)> stop_running_app = [](std::string_view name) {
    (void)yoxa::stop_running_app(name);
  };
  std::function<void(const std::string& staged_package)> clean_up_old_installer_files =
      [](const std::string& staged) { yoxa::clean_up_old_installer_files(staged); };

  // Detection; the registry lookups search the any-scope root lists.
  std::function<bool(const AppDescriptor& app)> installed_machine_wide = [](const AppDescriptor& app) {
    return yoxa::installed_machine_wide(system_detection(), app);
  };
  std::function<std::optional<std::string>(std::string_view family_name)> msix_installed_version =
      [](std::string_view family) { return yoxa::msix_installed_version(system_detection(), family); };
  std::function<Result<std::optional<InstalledProduct>>(std::string_view packed_code)> find_by_upgrade_code =
      [](std::string_view code) {
        return yoxa::find_by_upgrade_code(system_detection(), code, upgrade_code_roots(RootScope::Any));
      };
  std::function<std::optional<InstalledProduct>(std::string_view product_name)> find_by_product_name =
      [](std::string_view name) {
        return yoxa::find_by_product_name(system_detection(), name, product_name_roots(RootScope::Any));
      };
  std::function<std::optional<std::string>(const AppDescriptor& app)> installed_path = [](const AppDescriptor& app) {
    return yoxa::installed_path(system_detection(), app);
  };
  std::function<std::optional<std::string>(const AppDescriptor& app)> installed_version =
      [](const AppDescriptor& app) { return yoxa::installed_version(system_detection(), app); };

  // Installers.
  MsiInstallFn install_msi = [](const EventSink& sink, std::string_view app_id, const std::string& log_dir,
                                const std::string& path, bool machine) {
    return yoxa::install_msi(sink, app_id, log_dir, path, machine);
  };
  MsixInstallFn install_msix = msix_installer_unavailable;
  ExeInstallFn install_exe = [](const EventSink& sink, std::string_view app_id, const std::string& log_dir,
                                const std::string& path, bool machine) {
    return yoxa::install_exe(sink, app_id, log_dir, path, machine);
  };

  // Waiting and cancellation.
  std::function<void(std::chrono::milliseconds)> pause = [](std::chrono::milliseconds length) {
    std::this_thread::sleep_for(length);
  };
  // The run goes on while its quit file exists; an unreadable state counts as present.
  std::function<bool(const std::string& quit_file)> quit_file_present = [](const std::string& quit_file) {
    std::error_code error;
    return std::filesystem::exists(path_from_utf8(quit_file), error) || static_cast<bool>(error);
  };
};

// Run-wide gates, then every selected app in table order; an error only when a gate fails.
Result<InstallOutcome> run_install(const PackageProvider& provider, const EventSink& sink,
                                   const InstallRunSettings& settings);
Result<InstallOutcome> run_install(const PackageProvider& provider, const EventSink& sink,
                                   const InstallRunSettings& settings, const InstallHost& host);

// Set by installers that ask for a restart; cleared when a run starts.
bool reboot_required();
void note_reboot_required();
void clear_reboot_required();

}  // namespace yoxa
