#include "system/log_locations.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "core/paths.h"
#include "core/text.h"
#include "platform/system.h"
#include "core/log.h"
#include "platform/os_error.h"
#include "system/own_file.h"
#include "system/trusted_directory.h"

namespace yoxa {

namespace fs = std::filesystem;

namespace {
constexpr const char* kConfigDirName = "YoxaOffice";
constexpr auto kStaleAfter = std::chrono::seconds(604800);

std::string join_path(const std::string& base, std::initializer_list<const char*> parts) {
  fs::path path = path_from_utf8(base);
  for (const char* part : parts) path /= part;
  return path_to_utf8(path);
}
}  // namespace

std::string config_base_dir(bool machine, const EnvironmentLookup& environment) {
  const auto program_data = [&] { return environment("ProgramData").value_or("C:\\ProgramData"); };
  std::string root;
  if (machine) {
    root = program_data();
  } else {
    auto local = environment("LOCALAPPDATA");
    root = local && !local->empty() ? *local : program_data();
  }
  return join_path(root, {"Yoxa", kConfigDirName});
}

std::string machine_data_root() {
  if (auto known = platform::machine_data_directory()) return *known;
  return platform::environment_variable("ProgramData").value_or("C:\\ProgramData");
}

std::string config_base_dir(bool machine) {
  return config_base_dir(machine, [](const std::string& name) -> std::optional<std::string> {
    if (name == "ProgramData") return machine_data_root();
    return platform::environment_variable(name);
  });
}

std::expected<void, std::string> ensure_machine_directory(const std::string& directory, bool users_read) {
  return ensure_trusted_directory(machine_data_root(), directory,
                                  users_read ? platform::DirectoryReaders::UsersReadExecute
                                             : platform::DirectoryReaders::AdminsOnly);
}

std::expected<std::string, std::string> ensure_config_base_dir(bool machine) {
  std::string dir = config_base_dir(machine);
  if (machine) {
    if (auto ensured = ensure_machine_directory(dir, true); !ensured) return std::unexpected(ensured.error());
    return dir;
  }
  std::error_code ignored;
  fs::create_directories(path_from_utf8(dir), ignored);
  return dir;
}

std::string launcher_log_dir() { return join_path(platform::temp_directory(), {kConfigDirName}); }

void create_msi_log_placeholders(const std::string& directory) {
  for (const char* name : {"msiexec.log", "custom-actions.log", "custom-actions1.log"}) {
    const fs::path path = path_from_utf8(directory) / name;
    std::error_code error;
    if (fs::exists(path, error)) continue;
    if (const std::error_code failed = write_own_file(path_to_utf8(path), {}, WriteMode::Append)) {
      log::warn(format("Failed to create empty log file {}: {}", path_to_utf8(path), platform::error_code_text(failed)));
    }
  }
}

void sweep_stale_temp_folders(const std::string& directory, std::chrono::system_clock::time_point now) {
  std::error_code error;
  fs::directory_iterator it(path_from_utf8(directory), error);
  if (error) return;
  // increment(error), not a range-for: the iterator's ++ throws when a listing fails midway.
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) return;
    const fs::directory_entry& entry = *it;
    const std::optional<std::string> converted = path_to_utf8_checked(entry.path().filename());
    if (!converted) continue;  // not valid Unicode: never one of ours
    const std::string& name = *converted;
    if (!starts_with(name, "YoxaOffice-") && !starts_with(name, "YoxaOfficeSilent-")) continue;
    const auto written = entry.last_write_time(error);
    if (error) continue;
    // `now` moved onto the file clock: the two clocks tick together.
    const auto file_now = fs::file_time_type::clock::now() + (now - std::chrono::system_clock::now());
    const auto age = file_now - written;
    if (age < decltype(age)::zero() || age <= kStaleAfter) continue;
    fs::remove_all(entry.path(), error);
  }
}

}  // namespace yoxa
