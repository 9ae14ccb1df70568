#include "install/staging.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <limits>
#include <system_error>

#include "core/parent_walk.h"
#include "core/messages.h"
#include "core/places.h"
#include "core/paths.h"
#include "core/scrambled.h"
#include "core/text.h"
#include "system/command_runner.h"
#include "platform/system.h"
#include "system/detection.h"
#include "system/log_locations.h"
#include "system/trusted_directory.h"
#include "core/log.h"
#include "platform/os_error.h"

namespace yoxa {

namespace fs = std::filesystem;

namespace {

// The tool normally ends in well under a second; a hung one must not hold the run forever.
constexpr auto kAccessControlLimit = std::chrono::seconds(60);

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}


std::string system_drive_root(const EnvironmentRead& environment) {
  const auto drive = environment("SystemDrive");
  return (drive && !drive->empty() ? *drive : std::string("C:")) + "\\";
}

bool is_old_package_name(const std::string& name) {
  static constexpr std::string_view kSuffixes[] = {".msi", ".msix", ".msixbundle", ".appx", ".exe"};
  if (name == "logs.zip") return true;
  for (const auto suffix : kSuffixes) {
    if (name.ends_with(suffix)) return true;
  }
  return false;
}
}  // namespace

// --- disk space ---------------------------------------------------------------------------

std::optional<MeasuredFreeSpace> free_space_walking_up(const std::string& start, const FreeSpaceQuery& query) {
  std::optional<MeasuredFreeSpace> measured;
  walk_up_parents(start, [&](const std::string& path) {
    if (auto free = query(path)) measured = MeasuredFreeSpace{*free, path};
    return measured.has_value();
  });
  return measured;
}

std::optional<MeasuredFreeSpace> free_space_walking_up(const std::string& path) {
  return free_space_walking_up(path, platform::free_bytes_available);
}

VolumeSpace lookup_volume(const std::string& path) {
  const auto measured = free_space_walking_up(path);
  if (!measured) return {path, std::nullopt};
  auto volume = platform::volume_path_name(measured->measured_path);
  return {volume ? *volume : path, measured->bytes};
}

std::vector<DiskRequirement> disk_requirements(const std::string& staging_base,
                                               std::span<const AppDescriptor* const> selected, bool machine,
                                               const EnvironmentRead& environment) {
  std::uint64_t total = 0;
  for (const AppDescriptor* app : selected) total = saturating_add(total, app->required_bytes);
  std::vector<DiskRequirement> entries{{staging_directory(staging_base), total, "package staging"}};
  const std::string system_root = system_drive_root(environment);
  for (const AppDescriptor* app : selected) {
    std::string root = system_root;
    if (app->installer_kind != InstallerKind::Msix && !machine && !app->machine_only) {
      const auto local = environment("LOCALAPPDATA");
      if (local && !local->empty()) root = *local;
    }
    entries.push_back({std::move(root), app->required_bytes, format("{} install", app->display_name)});
  }
  return entries;
}

Result<void> check_disk_requirements(const std::vector<DiskRequirement>& requirements, const VolumeLookup& lookup) {
  struct Group {
    VolumeSpace volume;
    std::uint64_t required = 0;
    std::vector<std::string> labels;
  };
  std::vector<Group> groups;
  for (const auto& entry : requirements) {
    VolumeSpace volume = lookup(entry.path);
    auto group = std::find_if(groups.begin(), groups.end(), [&](const Group& g) { return g.volume.key == volume.key; });
    if (group == groups.end()) {
      groups.push_back({std::move(volume), 0, {}});
      group = groups.end() - 1;
    }
    group->required = saturating_add(group->required, entry.bytes);
    group->labels.push_back(entry.label);
  }
  for (const auto& group : groups) {
    const std::string labels = join(group.labels, ", ");
    const std::string& key = group.volume.key;
    if (!group.volume.free_bytes) {
      log::warn(format("Could not query disk space for '{}' ({}), skipping check", key, labels));
      continue;
    }
    const std::uint64_t free = *group.volume.free_bytes;
    log::info(format("Disk space check: '{}' ({}) has {} bytes free, {} bytes required", key, labels, free,
                     group.required));
    if (free < group.required) {
      constexpr std::uint64_t kMegabyte = 1048576;
      return fail(msg::kNotEnoughDiskSpace,
                  format("Required: {} MB, Available: {} MB on {} ({}).", group.required / kMegabyte,
                         free / kMegabyte, key, labels),
                  place::kStagingDiskSpace);
    }
  }
  return {};
}

Result<void> check_disk_space(const std::string& staging_base, std::span<const AppDescriptor* const> selected,
                              bool machine) {
  return check_disk_requirements(disk_requirements(staging_base, selected, machine, platform::environment_variable),
                                 lookup_volume);
}

// --- machine-scope staging directory ----------------------------------------------------

std::string access_control_tool_path() { return platform::access_control_tool_program(); }

std::expected<ToolOutcome, platform::OsError> run_hidden_tool(const std::string& program,
                                                              const std::vector<std::string>& arguments) {
  auto child = platform::ChildProcess::start(program, arguments);
  if (!child) return std::unexpected(child.error());
  auto ended = child->wait_for(std::chrono::duration_cast<std::chrono::milliseconds>(kAccessControlLimit));
  std::string note;
  if (ended && !*ended) {
    (void)child->terminate(1);
    note = format("did not finish within {} seconds", kAccessControlLimit.count());
  }
  auto code = child->wait();
  if (!code) return std::unexpected(code.error());
  (void)child->finish_output();
  ToolOutcome outcome{*code, child->standard_error(), child->standard_output()};
  if (!note.empty()) outcome.standard_error += (outcome.standard_error.empty() ? "" : "\n") + note;
  return outcome;
}

Result<void> prepare_machine_staging_directory(const std::string& staging_base, const std::string& trusted_root,
                                               platform::DirectoryTrust& trust, const ToolRunner& run) {
  const std::string directory = staging_directory(staging_base);
  // The tool keeps other explicit entries and the owner, and acts on a link's target:
  // it only finishes a directory that is already the engine's own.
  auto ensured = ensure_trusted_directory(trusted_root, directory, platform::DirectoryReaders::AdminsOnly, trust);
  if (!ensured) return fail(msg::kFilesystemError, ensured.error(), place::kStagingMachineCreate);

  const std::vector<std::string> arguments{directory,   "/inheritance:r", "/grant:r", "*S-1-5-32-544:(OI)(CI)F",
                                           "/grant:r", "*S-1-5-18:(OI)(CI)F"};
  auto outcome = run(access_control_tool_path(), arguments);
  if (!outcome) return fail(msg::kFilesystemError, format("Restring ACL failed: {}", outcome.error().text), place::kStagingAclStart);
  if (outcome->exit_code != 0) {
    const std::string text = format("Restricting ACL failed - {}: {}", exit_status_text(outcome->exit_code),
                                    utf8_lossy(outcome->standard_error));
    log::error(text);
    return fail(msg::kFilesystemError, text, place::kStagingAclExit);
  }
  log::info(format("Restricted ACLs on {}", directory));
  return {};
}

Result<void> prepare_machine_staging_directory(const std::string& staging_base) {
  return prepare_machine_staging_directory(staging_base, machine_data_root(), platform::system_directory_trust(),
                                           run_hidden_tool);
}

// --- running apps -------------------------------------------------------------------------

std::string stop_app_script(std::string_view process_name) {
  static constexpr std::string_view kTemplate =
      "$p = Get-Process -Name '{0}' -ErrorAction SilentlyContinue;          if (-not $p) { 'not-running' }          "
      "else { $n = @($p).Count; $p | Stop-Process -Force -ErrorAction SilentlyContinue;          "
      "for ($i = 0; $i -lt 20; $i++) { if (-not (Get-Process -Name '{0}' -ErrorAction SilentlyContinue)) { break } "
      "Start-Sleep -Milliseconds 250 }          if (Get-Process -Name '{0}' -ErrorAction SilentlyContinue) "
      "{ 'still-running ' + $n } else { 'stopped ' + $n } }";
  const std::string quoted = powershell_quote(process_name);
  std::string script;
  std::size_t from = 0;
  for (std::size_t at = kTemplate.find("{0}"); at != std::string_view::npos; at = kTemplate.find("{0}", from)) {
    script.append(kTemplate.substr(from, at - from));
    script += quoted;
    from = at + 3;
  }
  script.append(kTemplate.substr(from));
  return script;
}

StopOutcome stop_running_app(std::string_view process_name, const ScriptRunner& run) {
  if (process_name.empty()) return StopOutcome::NothingToStop;
  const std::string name(process_name);
  auto output = run(stop_app_script(name), kStopAppLimitSeconds);
  if (!output) {
    log::warn(format("Could not terminate '{}': {}", name, output.error().full_text()));
    return StopOutcome::Failed;
  }
  const std::string text(trim(*output));
  if (text == "not-running") {
    log::info(format("'{}' is not running; nothing to terminate", name));
    return StopOutcome::NotRunning;
  }
  if (starts_with(text, "still-running")) {
    log::warn(format("'{}' is STILL RUNNING after Stop-Process ({}); the install or uninstall that follows may fail "
                     "with a file-in-use error",
                     name, text));
    return StopOutcome::StillRunning;
  }
  log::info(format("Terminated running instance(s) of '{}' ({})", name, text));
  return StopOutcome::Stopped;
}

StopOutcome stop_running_app(std::string_view process_name) { return stop_running_app(process_name, run_powershell); }

// --- clean-up -------------------------------------------------------------------------------

void clean_up_old_installer_files(const std::string& staged_package) {
  log::info("Cleaning up old installer files");
  const fs::path staged = path_from_utf8(staged_package);
  std::error_code error;
  fs::directory_iterator entries(staged.parent_path(), error);
  if (error) {
    log::warn(format("Failed to read app directory: {}", platform::error_code_text(error)));
    return;
  }
  for (; entries != fs::directory_iterator(); entries.increment(error)) {
    std::error_code status_error;
    const bool regular = entries->is_regular_file(status_error);
    if (status_error) {
      log::warn(format("Failed to read directory entry: {}", platform::error_code_text(status_error)));
      continue;
    }
    const fs::path& path = entries->path();
    if (!regular || path.filename() == staged.filename()) continue;
    if (!is_old_package_name(path_to_utf8_checked(path.filename()).value_or(std::string()))) continue;
    std::error_code ignored;
    fs::remove(path, ignored);
  }
  // A failed step ends the listing: the iterator cannot move past it.
  if (error) log::warn(format("Failed to read directory entry: {}", platform::error_code_text(error)));
}

}  // namespace yoxa
