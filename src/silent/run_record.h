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
inline constexpr std::string_view kRunRecordAppsKey = "SOFTWARE\\Yoxa\\OfficeSuiteInstaller\\LastRunApps";

// Writes LastRunMode, LastRunExitCode, RebootRequired and the apps' statuses. Apps this
// run does not report keep their earlier values. Without write access (an unelevated
// run) it logs a warning and leaves the previous record alone.
void write_run_record(platform::Registry& registry, std::string_view mode, int exit_code, bool reboot_required,
                      const std::vector<AppResult>& results);

}  // namespace yoxa
