#pragma once
#include <chrono>
#include <expected>
#include <functional>
#include <optional>
#include <string>

namespace yoxa {

using EnvironmentLookup = std::function<std::optional<std::string>(const std::string&)>;

// "<root>\Yoxa\YoxaOffice": root is ProgramData for machine scope, LOCALAPPDATA
// (when set and not empty) for user scope, else ProgramData, else C:\ProgramData.
std::string config_base_dir(bool machine, const EnvironmentLookup& environment);
// The same for this process: ProgramData comes from the known-folder store, not from
// the environment, which the user of an elevated process may have set.
std::string config_base_dir(bool machine);
// The same, created with all missing levels. The machine base is made trustworthy
// (ensure_machine_directory); the error is why it could not be. A failure to create
// the user base is ignored, as before.
std::expected<std::string, std::string> ensure_config_base_dir(bool machine);

// The root the machine base lies below: ProgramData from the known-folder store.
std::string machine_data_root();
// `directory` below machine_data_root() with every level created protected or checked
// (system/trusted_directory.h); `readers` is for its last level.
std::expected<void, std::string> ensure_machine_directory(const std::string& directory, bool users_read);

// Where every subcommand invocation logs: <temp>\YoxaOffice.
std::string launcher_log_dir();

// Creates msiexec.log, custom-actions.log and custom-actions1.log when missing.
void create_msi_log_placeholders(const std::string& directory);

// Removes "YoxaOffice-*" and "YoxaOfficeSilent-*" entries of `directory` last
// written more than seven days before `now`; errors are ignored.
void sweep_stale_temp_folders(const std::string& directory, std::chrono::system_clock::time_point now);

}  // namespace yoxa
