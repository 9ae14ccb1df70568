#pragma once
// The outcome of a headless run where a device-management tool reads it: values under
// HKEY_LOCAL_MACHINE "SOFTWARE\Yoxa\OfficeSuiteInstaller" (64-bit view) and one value per
// app under its "LastRunApps" subkey.
#include <string_view>
#include <vector>

#include "core/protocol_event.h"
#include "platform/registry.h"

namespace yoxa {

inline constexpr std::string_view kRunRecordKey = "SOFTWARE\\Yoxa\\OfficeSuiteInstaller";
// Exit code of a successful run that needs a restart.
inline constexpr int kExitRebootRequired = 6;

inline constexpr std::string_view kRunRecordAppsKey = "SOFTWARE\\Yoxa\\OfficeSuiteInstaller\\LastRunApps";

// Writes LastRunMode, LastRunExitCode, RebootRequired and the apps' statuses. Apps this
// run does not report keep their earlier values. Without write access (an unelevated
// run) it logs a warning, leaves the previous record alone and answers false.
bool write_run_record(platform::Registry& registry, std::string_view mode, int exit_code, bool reboot_required,
                      const std::vector<AppResult>& results);

// The record of a run whose work a copy did and whose per-app results this process never
// saw: a restart is required exactly when the copy ended with the restart code, and the
// selected apps lose their earlier statuses rather than keep ones from another run.
void write_delegated_run_record(platform::Registry& registry, std::string_view mode, int exit_code,
                                const std::vector<std::string>& selected_apps);

}  // namespace yoxa
