#include "silent/run_record.h"

#include <string>

#include "core/log.h"
#include "core/text.h"

namespace yoxa {

namespace {
using platform::RegistryHive;
using platform::RegistryView;
}  // namespace

bool write_run_record(platform::Registry& registry, std::string_view mode, int exit_code, bool reboot_required,
                      const std::vector<AppResult>& results) {
  const std::string key(kRunRecordKey);
  // The first write creates the key: its failure is the key's, and nothing else is tried.
  if (auto opened = registry.write_string(RegistryHive::LocalMachine, RegistryView::Bits64, key, "LastRunMode",
                                          std::string(mode));
      !opened) {
    log::warn(format("Could not write result marker (needs machine/elevated write): {}", opened.error().text));
    return false;
  }
  (void)registry.write_dword(RegistryHive::LocalMachine, RegistryView::Bits64, key, "LastRunExitCode",
                             static_cast<std::uint32_t>(exit_code));
  (void)registry.write_dword(RegistryHive::LocalMachine, RegistryView::Bits64, key, "RebootRequired",
                             reboot_required ? 1u : 0u);

  const std::string apps_key(kRunRecordAppsKey);
  for (std::size_t i = 0; i < results.size(); ++i) {
    const auto written = registry.write_string(RegistryHive::LocalMachine, RegistryView::Bits64, apps_key,
                                               results[i].app, std::string(wire_string(results[i].status)));
    // A subkey that cannot be opened takes no values at all; a single value's failure is ignored.
    if (!written && i == 0) break;
  }
  log::info(format("Wrote result marker: mode={} exit={} reboot={} apps={}", mode, exit_code,
                   reboot_required ? "true" : "false", results.size()));
  return true;
}

void write_delegated_run_record(platform::Registry& registry, std::string_view mode, int exit_code,
                                const std::vector<std::string>& selected_apps) {
  if (!write_run_record(registry, mode, exit_code, exit_code == kExitRebootRequired, {})) return;
  const std::string apps_key(kRunRecordAppsKey);
  for (const std::string& app : selected_apps) {
    if (auto removed = registry.delete_value(RegistryHive::LocalMachine, RegistryView::Bits64, apps_key, app);
        !removed) {
      log::warn(format("Could not clear the earlier result of {}: {}", app, removed.error().text));
    }
  }
}

}  // namespace yoxa
