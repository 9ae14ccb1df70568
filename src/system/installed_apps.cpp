#include "system/installed_apps.h"

namespace yoxa {

bool DetectedApps::installed_machine_wide(const AppDescriptor& app) const {
  return yoxa::installed_machine_wide(context_, app);
}

std::optional<std::string> DetectedApps::msix_installed_version(std::string_view family_name) const {
  return yoxa::msix_installed_version(context_, family_name);
}

Result<std::optional<InstalledProduct>> DetectedApps::find_by_upgrade_code(std::string_view packed_code) const {
  return yoxa::find_by_upgrade_code(context_, packed_code, upgrade_code_roots(scope_));
}

std::optional<InstalledProduct> DetectedApps::find_by_product_name(std::string_view product_name) const {
  return yoxa::find_by_product_name(context_, product_name, product_name_roots(scope_));
}

std::optional<std::string> DetectedApps::installed_path(const AppDescriptor& app) const {
  return yoxa::installed_path(context_, app);
}

std::optional<std::string> DetectedApps::installed_version(const AppDescriptor& app) const {
  return yoxa::installed_version(context_, app);
}

Result<std::optional<InstalledProduct>> DetectedApps::find_by_upgrade_code_in(std::string_view packed_code,
                                                                              RootScope scope) const {
  return yoxa::find_by_upgrade_code(context_, packed_code, upgrade_code_roots(scope));
}

std::optional<InstalledProduct> DetectedApps::find_by_product_name_in(std::string_view product_name,
                                                                      RootScope scope) const {
  return yoxa::find_by_product_name(context_, product_name, product_name_roots(scope));
}

bool DetectedApps::msix_provisioned(std::string_view family_name) const {
  return yoxa::msix_provisioned(context_, family_name);
}

Result<std::vector<InstalledProduct>> DetectedApps::products_by_upgrade_code_in(std::string_view packed_code,
                                                                                RootScope scope) const {
  return yoxa::products_by_upgrade_code(context_, packed_code, upgrade_code_roots(scope));
}

Result<bool> DetectedApps::product_name_registered_in(std::string_view product_name, RootScope scope) const {
  return yoxa::product_name_registered(context_, product_name, product_name_roots(scope));
}

const InstalledApps& machine_installed_apps() {
  static const DetectedApps apps(system_detection());
  return apps;
}

}  // namespace yoxa
