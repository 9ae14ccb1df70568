#include "system/detection.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>

#include "core/messages.h"
#include "core/places.h"
#include "core/paths.h"
#include "core/text.h"
#include "system/command_runner.h"
#include "core/log.h"

namespace yoxa {

namespace {

using platform::RegistryHive;
using platform::RegistryValue;
using platform::RegistryView;

// Error places of this module.

constexpr std::string_view kMachineUpgradeCodes =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes";
constexpr std::string_view kUserUpgradeCodes = "Software\\Microsoft\\Installer\\UpgradeCodes";
constexpr std::string_view kMachineUninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr std::string_view kUserUninstall = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr const char* kRepositoryPackages =
    "Software\\Classes\\Local Settings\\Software\\Microsoft\\Windows\\CurrentVersion\\AppModel\\Repository\\Packages";

constexpr std::uint32_t kPowerShellLimitSeconds = 30;

bool is_msix(const AppDescriptor& app) { return app.format == "msix" || app.format == "msixbundle"; }

std::string subkey_path(std::string_view parent, std::string_view child) {
  std::string path(parent);
  path += '\\';
  path += child;
  return path;
}

// The text of a string-typed value; none for a missing value or another type.
std::optional<std::string> as_text(std::optional<RegistryValue> value) {
  if (!value) return std::nullopt;
  const auto type = value->type;
  if (type != RegistryValue::Type::String && type != RegistryValue::Type::ExpandString &&
      type != RegistryValue::Type::MultiString) {
    return std::nullopt;
  }
  std::string text = std::move(value->text);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// A value that cannot be read counts as missing.
std::optional<std::string> string_value(const DetectionContext& ctx, RegistryHive hive, RegistryView view,
                                        const std::string& path, const std::string& name) {
  auto value = ctx.registry->value(hive, view, path, name);
  return value ? as_text(std::move(*value)) : std::nullopt;
}

// The usual reading of an uninstall entry's values: an empty string is as good as none.
std::optional<std::string> non_empty(std::optional<std::string> text) {
  if (text && text->empty()) return std::nullopt;
  return text;
}

std::optional<std::string> non_empty_value(const DetectionContext& ctx, RegistryHive hive, RegistryView view,
                                           const std::string& path, const std::string& name) {
  return non_empty(string_value(ctx, hive, view, path, name));
}

InstalledProduct read_product(const DetectionContext& ctx, RegistryHive hive, RegistryView view,
                              const std::string& path, std::string key, std::string version) {
  InstalledProduct product;
  product.key = std::move(key);
  product.version = std::move(version);
  product.uninstall_string = non_empty_value(ctx, hive, view, path, "UninstallString");
  product.quiet_uninstall_string = non_empty_value(ctx, hive, view, path, "QuietUninstallString");
  product.install_location = non_empty_value(ctx, hive, view, path, "InstallLocation");
  product.display_icon = non_empty_value(ctx, hive, view, path, "DisplayIcon");
  return product;
}

// A failure to look (not an absent key) means the answer is unknown, which callers must not read as "absent".
std::unexpected<Error> lookup_failure(const platform::OsError& error, std::uint32_t place) {
  return fail(msg::kPreviousInstallationProblem, error.text, place);
}

std::string package_name_of(std::string_view family_name) {
  return std::string(family_name.substr(0, family_name.find('_')));
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::size_t character_count(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

std::optional<std::vector<std::uint32_t>> parse_version(std::string_view text) {
  std::vector<std::uint32_t> components;
  for (const auto& part : split(text, '.')) {
    std::string_view digits = part;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    // from_chars alone would take a sign or stop early; only plain digits are a component.
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    std::uint32_t number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    components.push_back(number);
  }
  return components;
}

// The repository answer for one package, with the log lines both detection forms share.
MsixRepositoryResult logged_repository_version(const DetectionContext& ctx, std::string_view family_name) {
  auto result = msix_repository_version(ctx, package_name_of(family_name));
  if (result.answer == MsixRepositoryAnswer::Found) {
    log::info(format("MSIX installed version for '{}': {} (registry)", family_name, result.version));
  } else if (result.answer == MsixRepositoryAnswer::NotInstalled) {
    log::info(format("MSIX package '{}' not installed (registry)", family_name));
  }
  return result;
}

bool ends_with_exe(std::string_view path) {
  return path.size() >= 4 && ascii_lower(path.substr(path.size() - 4)) == ".exe";
}

// "C:\App\app.exe,0" and "\"C:\App\app.exe\"" name the same program.
std::string icon_program(std::string_view icon) {
  std::string_view text = trim(icon.substr(0, icon.find(',')));
  while (text.starts_with('"')) text.remove_prefix(1);
  while (text.ends_with('"')) text.remove_suffix(1);
  return std::string(text);
}

}  // namespace

const DetectionContext& system_detection() {
  static const DetectionContext context{
      &platform::system_registry(),
      [](const std::string& script, std::uint32_t limit_seconds) { return run_powershell(script, limit_seconds); },
      [](const std::string& path) {
        // Anything but a definite "not there" (access denied, a broken link) keeps the entry alive.
        std::error_code error;
        return std::filesystem::status(path_from_utf8(path), error).type() != std::filesystem::file_type::not_found;
      },
      [](const std::string& path) {
        std::error_code error;
        return std::filesystem::is_regular_file(path_from_utf8(path), error);
      },
  };
  return context;
}

std::vector<RegistryRoot> upgrade_code_roots(RootScope scope) {
  const RegistryRoot machine{RegistryHive::LocalMachine, RegistryView::Bits64, kMachineUpgradeCodes, kMachineUninstall};
  const RegistryRoot user{RegistryHive::CurrentUser, RegistryView::Native, kUserUpgradeCodes, kUserUninstall};
  switch (scope) {
    case RootScope::MachineOnly:
      return {machine};
    case RootScope::UserOnly:
      return {user};
    case RootScope::Any:
      break;
  }
  return {machine, user};
}

std::vector<RegistryRoot> product_name_roots(RootScope scope) {
  const RegistryRoot machine64{RegistryHive::LocalMachine, RegistryView::Bits64, {}, kMachineUninstall};
  const RegistryRoot machine32{RegistryHive::LocalMachine, RegistryView::Bits32, {}, kMachineUninstall};
  const RegistryRoot user{RegistryHive::CurrentUser, RegistryView::Native, {}, kMachineUninstall};
  switch (scope) {
    case RootScope::MachineOnly:
      return {machine64, machine32};
    case RootScope::UserOnly:
      return {user};
    case RootScope::Any:
      break;
  }
  return {machine64, machine32, user};
}

std::expected<std::string, std::string> unpack_guid(std::string_view packed) {
  const std::size_t length = character_count(packed);
  if (length != 32) return std::unexpected(format("Invalid prdcode length {} vs 32 for '{}'", length, packed));
  for (const char c : packed) {
    if (!is_hex_digit(c)) return std::unexpected(format("Packed prdcode '{}' contains non-hex characters", packed));
  }
  static constexpr std::array<std::size_t, 11> kGroups = {8, 4, 4, 2, 2, 2, 2, 2, 2, 2, 2};
  std::string guid = "{";
  std::size_t at = 0;
  for (std::size_t group = 0; group < kGroups.size(); ++group) {
    if (group == 1 || group == 2 || group == 3 || group == 5) guid += '-';
    const std::string_view part = packed.substr(at, kGroups[group]);
    guid.append(part.rbegin(), part.rend());
    at += kGroups[group];
  }
  guid += '}';
  return guid;
}

namespace {

// The products registered under an upgrade code, in registry order: the first only, or all.
Result<std::vector<InstalledProduct>> scan_upgrade_code(const DetectionContext& ctx, std::string_view packed_code,
                                                        const std::vector<RegistryRoot>& roots, bool all) {
  std::vector<InstalledProduct> products;
  for (const auto& root : roots) {
    const std::string key = subkey_path(root.upgrade_codes_path, packed_code);
    const auto names = ctx.registry->value_names(root.hive, root.view, key);
    if (!names) return lookup_failure(names.error(), place::kDetectionUpgradeCodeKey);
    if (!*names) continue;
    for (const auto& name : **names) {
      if (!is_valid_utf8(name)) {
        log::warn(format("failed to read value from upgrade subkey: {}", "value name is not valid Unicode"));
        continue;
      }
      // One unreadable value is skipped; it must not hide the products listed after it.
      if (const auto read = ctx.registry->value(root.hive, root.view, key, name); !read) {
        log::warn(format("failed to read value from upgrade subkey: {}", read.error().text));
        continue;
      }
      if (name.empty()) continue;  // the default value
      const auto product_code = unpack_guid(name);
      if (!product_code) {
        log::warn(format("Failed to unmangle prd code: {}", product_code.error()));
        continue;
      }
      const std::string entry = subkey_path(root.uninstall_path, *product_code);
      // Reading the first value is where a key that cannot be opened shows up.
      const auto version = ctx.registry->value(root.hive, root.view, entry, "DisplayVersion");
      if (!version) return lookup_failure(version.error(), place::kDetectionUninstallEntry);
      const auto text = non_empty(as_text(*version));
      if (!text) continue;
      log::info(format("Found installed version: {}", printable(*text)));
      products.push_back(read_product(ctx, root.hive, root.view, entry, *product_code, *text));
      if (!all) return products;
    }
  }
  return products;
}

// The first entry whose display name starts with `product_name`. `strict`: a root or an entry
// that cannot be read is an error; otherwise it is passed over.
Result<std::optional<InstalledProduct>> scan_product_names(const DetectionContext& ctx, std::string_view product_name,
                                                           const std::vector<RegistryRoot>& roots, bool strict) {
  if (product_name.empty()) return std::nullopt;
  const std::string wanted = ascii_lower(product_name);
  const std::string uninstall(kMachineUninstall);
  for (const auto& root : roots) {
    const auto names = ctx.registry->subkeys(root.hive, root.view, uninstall);
    if (!names && strict) return lookup_failure(names.error(), place::kDetectionUninstallRoot);
    if (!names || !*names) continue;
    for (const auto& name : **names) {
      if (!is_valid_utf8(name)) continue;
      const std::string entry = subkey_path(uninstall, name);
      // Empty texts count here: an empty version is still a version.
      const auto display_read = ctx.registry->value(root.hive, root.view, entry, "DisplayName");
      if (!display_read && strict) return lookup_failure(display_read.error(), place::kDetectionUninstallEntry);
      const auto display_name = display_read ? as_text(*display_read) : std::nullopt;
      if (!display_name || !ascii_lower(*display_name).starts_with(wanted)) continue;
      // Another maker's product of the same name is not ours; an entry without a publisher may be.
      const auto publisher = ctx.registry->value(root.hive, root.view, entry, "Publisher");
      if (!publisher && strict) return lookup_failure(publisher.error(), place::kDetectionUninstallEntry);
      if (!publisher) continue;
      const auto publisher_text = as_text(*publisher);
      if (publisher_text && ascii_lower(*publisher_text).find("yoxa") == std::string::npos) continue;
      const auto version_read = ctx.registry->value(root.hive, root.view, entry, "DisplayVersion");
      if (!version_read && strict) return lookup_failure(version_read.error(), place::kDetectionUninstallEntry);
      const auto version = version_read ? as_text(*version_read) : std::nullopt;
      if (!version) continue;
      log::info(format("Found installed version via Uninstall-name fallback: {} -> {}", printable(*display_name),
                       printable(*version)));
      return read_product(ctx, root.hive, root.view, entry, name, *version);
    }
  }
  return std::nullopt;
}

}  // namespace

Result<std::optional<InstalledProduct>> find_by_upgrade_code(const DetectionContext& ctx, std::string_view packed_code,
                                                             const std::vector<RegistryRoot>& roots) {
  auto products = scan_upgrade_code(ctx, packed_code, roots, false);
  if (!products) return std::unexpected(products.error());
  if (products->empty()) {
    log::info("No previous installation detected under this upgrade code");
    return std::nullopt;
  }
  return std::move(products->front());
}

Result<std::vector<InstalledProduct>> products_by_upgrade_code(const DetectionContext& ctx,
                                                               std::string_view packed_code,
                                                               const std::vector<RegistryRoot>& roots) {
  return scan_upgrade_code(ctx, packed_code, roots, true);
}

std::optional<InstalledProduct> find_by_product_name(const DetectionContext& ctx, std::string_view product_name,
                                                     const std::vector<RegistryRoot>& roots) {
  auto found = scan_product_names(ctx, product_name, roots, false);
  return found ? std::move(*found) : std::nullopt;
}

Result<bool> product_name_registered(const DetectionContext& ctx, std::string_view product_name,
                                     const std::vector<RegistryRoot>& roots) {
  auto found = scan_product_names(ctx, product_name, roots, true);
  if (!found) return std::unexpected(found.error());
  return found->has_value();
}

MsixRepositoryResult msix_repository_version(const DetectionContext& ctx, std::string_view package_name) {
  const auto names = ctx.registry->subkeys(RegistryHive::CurrentUser, RegistryView::Native, kRepositoryPackages);
  if (!names || !*names) return {MsixRepositoryAnswer::Inconclusive, {}};
  const std::string prefix = std::string(package_name) + "_";
  bool tombstone_seen = false;
  for (const auto& name : **names) {
    if (!is_valid_utf8(name) || !name.starts_with(prefix)) continue;
    const std::string_view rest = std::string_view(name).substr(prefix.size());
    const std::string version(rest.substr(0, rest.find('_')));
    if (version.empty()) continue;
    // Only a payload folder that is certainly gone marks a tombstone; any doubt keeps the entry.
    const auto root_folder = string_value(ctx, RegistryHive::CurrentUser, RegistryView::Native,
                                          subkey_path(kRepositoryPackages, name), "PackageRootFolder");
    const std::string folder = root_folder ? std::string(trim(*root_folder)) : std::string();
    if (folder.empty() || ctx.path_exists(folder)) return {MsixRepositoryAnswer::Found, version};
    log::info(format("MSIX repository entry '{}' is a tombstone (payload gone); ignoring", name));
    tombstone_seen = true;
  }
  return {tombstone_seen ? MsixRepositoryAnswer::Inconclusive : MsixRepositoryAnswer::NotInstalled, {}};
}

std::optional<std::string> msix_installed_version(const DetectionContext& ctx, std::string_view family_name) {
  if (family_name.empty()) return std::nullopt;
  auto repository = logged_repository_version(ctx, family_name);
  if (repository.answer == MsixRepositoryAnswer::Found) return std::move(repository.version);
  if (repository.answer == MsixRepositoryAnswer::NotInstalled) return std::nullopt;

  const std::string package = package_name_of(family_name);
  const auto output = ctx.powershell(
      format("Appx\\Get-AppxPackage -Name '{}*' | Microsoft.PowerShell.Utility\\Select-Object -ExpandProperty Version "
             "-First 1",
             powershell_quote(package)),
      kPowerShellLimitSeconds);
  if (!output) {
    log::warn(format("MSIX version check failed for '{}': {}", family_name, output.error().full_text()));
    return std::nullopt;
  }
  const std::string version(trim(*output));
  if (version.empty()) {
    log::info(format("MSIX package '{}' not installed (Get-AppxPackage)", family_name));
    return std::nullopt;
  }
  log::info(format("MSIX installed version for '{}': {} (Get-AppxPackage)", family_name, version));
  return version;
}

bool msix_provisioned(const DetectionContext& ctx, std::string_view family_name) {
  if (family_name.empty()) return false;
  const std::string package = package_name_of(family_name);
  const auto output = ctx.powershell(
      format("Dism\\Get-AppxProvisionedPackage -Online | Microsoft.PowerShell.Core\\Where-Object { $_.DisplayName -eq "
             "'{}' } | Microsoft.PowerShell.Utility\\Select-Object -ExpandProperty DisplayName -First 1",
             powershell_quote(package)),
      kPowerShellLimitSeconds);
  if (!output || trim(*output).empty()) return false;
  log::info(format("MSIX '{}' is provisioned machine-wide", package));
  return true;
}

std::optional<std::string> installed_version(const DetectionContext& ctx, const AppDescriptor& app) {
  if (is_msix(app)) return msix_installed_version(ctx, app.family_name);
  if (!app.upgrade_code.empty()) {
    const auto found = find_by_upgrade_code(ctx, app.upgrade_code, upgrade_code_roots(RootScope::Any));
    if (!found) {
      log::warn(format("{}: registry detection failed: {}", app.display_name, found.error().full_text()));
    } else if (*found) {
      log::info(format("{}: detected installed version {}", app.display_name, (*found)->version));
      return (*found)->version;
    }
  }
  const auto by_name = find_by_product_name(ctx, app.product_name, product_name_roots(RootScope::Any));
  if (!by_name) return std::nullopt;
  log::info(format("{}: detected installed version {} (name fallback)", app.display_name, by_name->version));
  return by_name->version;
}

std::optional<std::string> installed_version_quick(const DetectionContext& ctx, const AppDescriptor& app,
                                                   bool registry_only) {
  if (!registry_only || !is_msix(app)) return installed_version(ctx, app);
  if (app.family_name.empty()) return std::nullopt;
  auto repository = logged_repository_version(ctx, app.family_name);
  if (repository.answer != MsixRepositoryAnswer::Found) return std::nullopt;
  return std::move(repository.version);
}

bool installed_machine_wide(const DetectionContext& ctx, const AppDescriptor& app) {
  if (is_msix(app)) return msix_provisioned(ctx, app.family_name);
  bool found = false;
  if (!app.upgrade_code.empty()) {
    const auto product = find_by_upgrade_code(ctx, app.upgrade_code, upgrade_code_roots(RootScope::MachineOnly));
    found = product && *product;
  }
  if (!app.product_name.empty()) {
    found =
        find_by_product_name(ctx, app.product_name, product_name_roots(RootScope::MachineOnly)).has_value() || found;
  }
  return found;
}

std::optional<std::string> installed_path(const DetectionContext& ctx, const AppDescriptor& app) {
  if (is_msix(app)) {
    if (app.family_name.empty()) return std::nullopt;
    return format("shell:AppsFolder\\{}!App", app.family_name);
  }
  std::optional<InstalledProduct> product;
  if (!app.upgrade_code.empty()) {
    auto found = find_by_upgrade_code(ctx, app.upgrade_code, upgrade_code_roots(RootScope::Any));
    if (found) product = std::move(*found);
  }
  if (!product) product = find_by_product_name(ctx, app.product_name, product_name_roots(RootScope::Any));
  if (!product) return std::nullopt;

  if (product->display_icon) {
    std::string program = icon_program(*product->display_icon);
    // Windows file names ignore case, so "APP.EXE" is as much a program as "app.exe".
    if (ends_with_exe(program) && ctx.file_exists(program)) return program;
  }
  if (product->install_location && !app.process_name.empty()) {
    std::string program = *product->install_location;
    if (!program.ends_with('\\')) program += '\\';
    program += format("{}.exe", app.process_name);
    if (ctx.file_exists(program)) return program;
  }
  return std::nullopt;
}

std::expected<VersionOrder, std::string> compare_versions(std::string_view a, std::string_view b) {
  const auto left = parse_version(a);
  const auto right = parse_version(b);
  if (!left || !right) return std::unexpected(std::string("version parse error"));
  const std::size_t count = std::max(left->size(), right->size());
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t x = i < left->size() ? (*left)[i] : 0;
    const std::uint32_t y = i < right->size() ? (*right)[i] : 0;
    if (x != y) return x < y ? VersionOrder::Less : VersionOrder::Greater;
  }
  return VersionOrder::Equal;
}

std::string powershell_quote(std::string_view text) {
  // PowerShell also closes a single-quoted string at the typographic quotes U+2018..U+201B,
  // and a doubled one stands for itself just like a doubled apostrophe.
  static constexpr std::string_view kTypographicQuotes[] = {"\u2018", "\u2019", "\u201A", "\u201B"};
  std::string out;
  out.reserve(text.size() + 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\'') {
      out += "''";
      continue;
    }
    bool doubled = false;
    for (const auto quote : kTypographicQuotes) {
      if (text.substr(i).starts_with(quote)) {
        out += quote;
        out += quote;
        i += quote.size() - 1;
        doubled = true;
        break;
      }
    }
    if (!doubled) out += text[i];
  }
  return out;
}

}  // namespace yoxa
