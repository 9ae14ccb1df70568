#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/app_table.h"
#include "core/error.h"
#include "platform/registry.h"

namespace yoxa {

// What detection reads the machine through; tests substitute every member.
struct DetectionContext {
  platform::Registry* registry = nullptr;
  // Runs a PowerShell script with a time limit in seconds (run_powershell in production).
  std::function<Result<std::string>(const std::string& script, std::uint32_t limit_seconds)> powershell;
  // Whether a file exists; for tombstone checks: false only when the path is definitely not found.
  std::function<bool(const std::string& path)> path_exists;
  // Whether `path` is an existing regular file (installed_path checks).
  std::function<bool(const std::string& path)> file_exists;
};

// The production context: the system registry, PowerShell and the file system.
const DetectionContext& system_detection();

struct InstalledProduct {
  std::string key;  // braced product code, or the Uninstall subkey name
  std::string version;
  std::optional<std::string> uninstall_string;
  std::optional<std::string> quiet_uninstall_string;
  std::optional<std::string> install_location;
  std::optional<std::string> display_icon;
};

struct RegistryRoot {
  platform::RegistryHive hive;
  platform::RegistryView view;
  std::string_view upgrade_codes_path;
  std::string_view uninstall_path;
};

enum class RootScope { Any, MachineOnly, UserOnly };
std::vector<RegistryRoot> upgrade_code_roots(RootScope scope);
std::vector<RegistryRoot> product_name_roots(RootScope scope);

enum class MsixRepositoryAnswer { Found, NotInstalled, Inconclusive };
struct MsixRepositoryResult {
  MsixRepositoryAnswer answer = MsixRepositoryAnswer::Inconclusive;
  std::string version;
};

// "{...}" from the 32-character packed form, or an error text.
std::expected<std::string, std::string> unpack_guid(std::string_view packed);

Result<std::optional<InstalledProduct>> find_by_upgrade_code(const DetectionContext& ctx, std::string_view packed_code,
                                                             const std::vector<RegistryRoot>& roots);
std::optional<InstalledProduct> find_by_product_name(const DetectionContext& ctx, std::string_view product_name,
                                                     const std::vector<RegistryRoot>& roots);
// Every product under the upgrade code, not just the first (after a removal, none may be left).
Result<std::vector<InstalledProduct>> products_by_upgrade_code(const DetectionContext& ctx,
                                                               std::string_view packed_code,
                                                               const std::vector<RegistryRoot>& roots);
// Whether find_by_product_name would find an entry; a root or an entry that cannot be read is
// an error here, never "not there".
Result<bool> product_name_registered(const DetectionContext& ctx, std::string_view product_name,
                                     const std::vector<RegistryRoot>& roots);
MsixRepositoryResult msix_repository_version(const DetectionContext& ctx, std::string_view package_name);
std::optional<std::string> msix_installed_version(const DetectionContext& ctx, std::string_view family_name);
bool msix_provisioned(const DetectionContext& ctx, std::string_view family_name);

std::optional<std::string> installed_version(const DetectionContext& ctx, const AppDescriptor& app);
std::optional<std::string> installed_version_quick(const DetectionContext& ctx, const AppDescriptor& app,
                                                   bool registry_only);
bool installed_machine_wide(const DetectionContext& ctx, const AppDescriptor& app);
std::optional<std::string> installed_path(const DetectionContext& ctx, const AppDescriptor& app);

enum class VersionOrder { Less, Equal, Greater };
// Dotted unsigned 32-bit components, missing ones counting as 0; "version parse error" otherwise.
std::expected<VersionOrder, std::string> compare_versions(std::string_view a, std::string_view b);

// Every value put into a PowerShell single-quoted string has its quotes doubled.
std::string powershell_quote(std::string_view text);

}  // namespace yoxa
