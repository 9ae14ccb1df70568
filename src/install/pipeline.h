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
#include "install/installer.h"
#include "install/run_context.h"
#include "install/staging.h"
#include "system/compatibility.h"
#include "system/detection.h"

namespace yoxa {

struct InstallOutcome {
  std::vector<AppResult> results;  // in the order reported
  bool aborted = false;            // the per-app loop stopped before the last selected app
};

// Everything the pipeline asks of the machine beyond the run context. Production
// defaults; tests replace any member.
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

  Installers installers = system_installers();
};

// Run-wide gates, then every selected app in table order; an error only when a gate fails.
[[nodiscard]] Result<InstallOutcome> run_install(const PackageProvider& provider, const RunContext& run);
[[nodiscard]] Result<InstallOutcome> run_install(const PackageProvider& provider, const RunContext& run,
                                                 const InstallHost& host);

// Set by installers that ask for a restart; cleared when a run starts.
bool reboot_required();
void note_reboot_required();
void clear_reboot_required();

}  // namespace yoxa
