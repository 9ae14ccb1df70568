#pragma once
#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace yoxa {

using EnvironmentLookup = std::function<std::optional<std::string>(const std::string&)>;

// "<root>\Yoxa\YoxaOffice": root is ProgramData for machine scope, LOCALAPPDATA
// (when set and not empty) for user scope, else ProgramData, else C:\ProgramData.
std::string config_base_dir(bool machine, const EnvironmentLookup& environment);
std::string config_base_dir(bool machine);
// The same, created with all missing levels (a failure is ignored).
std::string ensure_config_base_dir(bool machine);

// Where every subcommand invocation logs: <temp>\YoxaOffice.
std::string launcher_log_dir();

// Creates msiexec.log, custom-actions.log and custom-actions1.log when missing.
void create_msi_log_placeholders(const std::string& directory);

// Removes "YoxaOffice-*" and "YoxaOfficeSilent-*" entries of `directory` last
// written more than seven days before `now`; errors are ignored.
void sweep_stale_temp_folders(const std::string& directory, std::chrono::system_clock::time_point now);

}  // namespace yoxa
