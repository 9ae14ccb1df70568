#include "uninstall/uninstall_msix.h"

#include "core/log.h"
#include "core/messages.h"
#include "core/places.h"
#include "core/text.h"
#include "system/detection.h"

namespace yoxa {

std::string_view msix_package_name(std::string_view family_name) {
  return family_name.substr(0, family_name.find('_'));
}

std::string remove_for_user_script(std::string_view package_name, std::string_view family_name) {
  return format(
      "Appx\\Get-AppxPackage -Name '{}*' | Microsoft.PowerShell.Core\\Where-Object { $_.PackageFamilyName -eq '{}' } | "
      "Appx\\Remove-AppxPackage",
      powershell_quote(package_name), powershell_quote(family_name));
}

std::string remove_for_all_users_script(std::string_view package_name, std::string_view family_name) {
  return format(
      "Appx\\Get-AppxPackage -Name '{}*' -AllUsers | Microsoft.PowerShell.Core\\Where-Object { "
      "$_.PackageFamilyName -eq '{}' } | Appx\\Remove-AppxPackage -AllUsers",
      powershell_quote(package_name), powershell_quote(family_name));
}

std::string all_users_query_script(std::string_view package_name, std::string_view family_name) {
  return format(
      "Appx\\Get-AppxPackage -Name '{}*' -AllUsers | Microsoft.PowerShell.Core\\Where-Object { "
      "$_.PackageFamilyName -eq '{}' } | Microsoft.PowerShell.Utility\\Select-Object -ExpandProperty PackageFullName "
      "-First 1",
      powershell_quote(package_name), powershell_quote(family_name));
}

std::string deprovision_script(std::string_view package_name) {
  return format(
      "Dism\\Get-AppxProvisionedPackage -Online | Microsoft.PowerShell.Core\\Where-Object { $_.DisplayName -eq '{}' } "
      "| Microsoft.PowerShell.Core\\ForEach-Object { Dism\\Remove-AppxProvisionedPackage -Online -PackageName "
      "$_.PackageName }",
      powershell_quote(package_name));
}

namespace {

// Whether any account has the family registered, as the removal script itself would select
// it; a query that fails is no answer.
Result<bool> registered_for_any_user(const UninstallHost& host, std::string_view package, std::string_view family) {
  auto listed = host.powershell(all_users_query_script(package, family), kMsixRemovalLimitSeconds);
  if (!listed) return std::unexpected(listed.error());
  return !trim(*listed).empty();
}

RemovalOutcome remove_for_all_users(const RunContext& run, const UninstallHost& host, const AppDescriptor& app,
                                    std::string_view package) {
  const std::string_view family = app.family_name;
  if (!run.installed->msix_installed_version(family) && !run.installed->msix_provisioned(family)) {
    // Registered only for other accounts is still installed.
    const auto elsewhere = registered_for_any_user(host, package, family);
    if (!elsewhere) {
      return fail(msg::kAppUninstallFailed,
                  format("could not tell whether {} is registered for any user: {}", family,
                         elsewhere.error().full_text()),
                  place::kUninstallMsixPresence);
    }
    if (!*elsewhere) {
      log::info(format("{}: MSIX not installed (family {})", app.display_name, family));
      return Removal::NotInstalled;
    }
  }
  log::info(format("Uninstalling {} (MSIX family {})", app.display_name, family));
  if (auto removed = host.powershell(remove_for_all_users_script(package, family), kMsixRemovalLimitSeconds);
      !removed) {
    log::error(format("{}: MSIX uninstall failed: {}", app.display_name, removed.error().full_text()));
    return fail(msg::kAppUninstallFailed, removed.error().full_text(), place::kUninstallMsixAllUsers);
  }
  // Remove-AppxPackage can end without an error while a registration stays behind.
  const auto left = registered_for_any_user(host, package, family);
  if (!left || *left) {
    const std::string detail =
        left ? format("{} still registered for a user after Remove-AppxPackage -AllUsers (MSIX family {})",
                      app.display_name, family)
             : format("{} could not be confirmed removed: {}", app.display_name, left.error().full_text());
    log::error(format("{}: MSIX uninstall failed: {}", app.display_name, detail));
    return fail(msg::kAppUninstallFailed, detail, place::kUninstallMsixStillPresent);
  }
  log::info(format("{}: MSIX uninstalled", app.display_name));
  // A provisioned copy would come back for the next new account; failing to drop it is not
  // a failed uninstall.
  if (auto deprovisioned = host.powershell(deprovision_script(package), kMsixRemovalLimitSeconds); deprovisioned) {
    log::info(format("{}: MSIX provisioning removed (or none present)", package));
  } else {
    log::warn(format("{}: MSIX de-provisioning skipped/failed: {}", package, deprovisioned.error().full_text()));
  }
  return Removal::Removed;
}

}  // namespace

RemovalOutcome uninstall_msix(const RunContext& run, const UninstallHost& host, const AppDescriptor& app,
                              bool machine) {
  const std::string_view family = app.family_name;
  if (family.empty()) return fail("MSIX uninstall requires a package family", std::string(app.id), place::kUninstallNoFamily);
  const std::string_view package = msix_package_name(family);
  if (machine) return remove_for_all_users(run, host, app, package);

  if (run.installed->msix_installed_version(family)) {
    log::info(format("Uninstalling {} for current user (MSIX family {})", app.display_name, family));
    if (auto removed = host.powershell(remove_for_user_script(package, family), kMsixRemovalLimitSeconds); !removed) {
      log::error(format("{}: per-user MSIX uninstall failed: {}", app.display_name, removed.error().full_text()));
      return fail(msg::kAppUninstallFailed, removed.error().full_text(), place::kUninstallMsixUser);
    }
    log::info(format("{}: MSIX unregistered for current user", app.display_name));
    return Removal::Removed;
  }
  if (host.is_elevated() && run.installed->msix_provisioned(family)) {
    log::info(format("{}: MSIX not registered for the current user but provisioned machine-wide; elevated \u2014 "
                     "removing all-users",
                     app.display_name));
    return remove_for_all_users(run, host, app, package);
  }
  log::info(format("{}: MSIX not registered for the current user (machine provisioning left intact)",
                   app.display_name));
  return Removal::NotInstalled;
}

}  // namespace yoxa
