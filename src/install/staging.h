#pragma once
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/staging_paths.h"
#include "core/app_table.h"
#include "core/error.h"
#include "core/pause.h"
#include "system/command_runner.h"
#include "platform/process.h"
#include "platform/trusted_dir.h"

namespace yoxa {

// --- disk space ---------------------------------------------------------------------------

// Free space of `path` or, while that fails, of each parent in turn.
struct MeasuredFreeSpace {
  std::uint64_t bytes;
  std::string measured_path;  // the path (or parent) the query succeeded on
};
using FreeSpaceQuery = std::function<std::expected<std::uint64_t, platform::OsError>(const std::string&)>;
std::optional<MeasuredFreeSpace> free_space_walking_up(const std::string& path, const FreeSpaceQuery& query);
std::optional<MeasuredFreeSpace> free_space_walking_up(const std::string& path);

// The volume a requirement falls on: its key (mount point, or the path itself when
// unknown) and the free bytes available to the caller when they could be measured.
struct VolumeSpace {
  std::string key;
  std::optional<std::uint64_t> free_bytes;
};
using VolumeLookup = std::function<VolumeSpace(const std::string& path)>;
VolumeSpace lookup_volume(const std::string& path);  // the real parent walk + volume path

struct DiskRequirement {
  std::string path;
  std::uint64_t bytes;
  std::string label;
};

using EnvironmentRead = std::function<std::optional<std::string>(const std::string&)>;
// Staging first ("package staging", the sum of all), then each app's install root.
std::vector<DiskRequirement> disk_requirements(const std::string& staging_base,
                                               std::span<const AppDescriptor* const> selected, bool machine,
                                               const EnvironmentRead& environment);

// Groups the requirements by volume and fails with the disk-space error on the first
// volume whose free space is below its summed requirement.
Result<void> check_disk_requirements(const std::vector<DiskRequirement>& requirements, const VolumeLookup& lookup);
// The run's check with the real environment and volume lookup.
Result<void> check_disk_space(const std::string& staging_base, std::span<const AppDescriptor* const> selected,
                              bool machine);

// --- machine-scope staging directory ----------------------------------------------------

struct ToolOutcome {
  std::uint32_t exit_code = 0;
  std::string standard_error;
  std::string standard_output;
};
// Starts a program hidden with its output captured and waits for it (the real one
// bounds the wait). An error only when the program cannot be started.
using ToolRunner = std::function<std::expected<ToolOutcome, platform::OsError>(
    const std::string& program, const std::vector<std::string>& arguments)>;
std::expected<ToolOutcome, platform::OsError> run_hidden_tool(const std::string& program,
                                                              const std::vector<std::string>& arguments);
std::string access_control_tool_path();

// Makes <base>\installer trustworthy below `trusted_root` (every level created with a
// protected access list, or checked and a planted one moved aside), then restricts its
// access list to Administrators and LocalSystem with the access-control tool.
Result<void> prepare_machine_staging_directory(const std::string& staging_base, const std::string& trusted_root,
                                               platform::DirectoryTrust& trust, const ToolRunner& run);
// Below ProgramData, with the system's checks and tool.
Result<void> prepare_machine_staging_directory(const std::string& staging_base);

// --- running apps -------------------------------------------------------------------------

inline constexpr std::uint32_t kStopAppLimitSeconds = 30;
std::string stop_app_script(std::string_view process_name);

enum class StopOutcome : std::uint8_t { NothingToStop, NotRunning, Stopped, StillRunning, Failed };
// Stops every running instance of the app; logs the outcome, never fails the caller.
StopOutcome stop_running_app(std::string_view process_name, const ScriptRunner& run);
StopOutcome stop_running_app(std::string_view process_name);

// --- clean-up -------------------------------------------------------------------------------

// Deletes the other packages (and logs.zip) beside the staged package; errors are logged or ignored.
void clean_up_old_installer_files(const std::string& staged_package);

}  // namespace yoxa
