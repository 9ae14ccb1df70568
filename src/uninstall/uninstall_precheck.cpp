#include "uninstall/uninstall_precheck.h"

#include "core/log.h"
#include "core/text.h"

namespace yoxa {

bool is_msix_app(const AppDescriptor& app) { return app.format == "msix" || app.format == "msixbundle"; }

std::string_view precheck_text(PrecheckAnswer answer) {
  switch (answer) {
    case PrecheckAnswer::PerUser: return "PerUser";
    case PrecheckAnswer::MachineWide: return "MachineWide";
    case PrecheckAnswer::Absent: break;
  }
  return "Absent";
}

PrecheckAnswer uninstall_precheck(const InstalledApps& installed, const AppDescriptor& app) {
  if (is_msix_app(app)) {
    if (installed.msix_installed_version(app.family_name)) return PrecheckAnswer::PerUser;
    log::info(format("{}: no per-user MSIX registration, and machine-wide provisioning cannot be read without admin "
                     "\u2014 assuming MachineWide so the elevated de-provisioning path stays reachable. If the app is "
                     "simply not installed, the only cost is one UAC prompt.",
                     app.display_name));
    return PrecheckAnswer::MachineWide;
  }
  if (!app.product_name.empty() && installed.find_by_product_name_in(app.product_name, RootScope::UserOnly)) {
    return PrecheckAnswer::PerUser;
  }
  if (!app.upgrade_code.empty()) {
    const auto for_user = installed.find_by_upgrade_code_in(app.upgrade_code, RootScope::UserOnly);
    if (for_user && *for_user) return PrecheckAnswer::PerUser;
    const auto for_machine = installed.find_by_upgrade_code_in(app.upgrade_code, RootScope::MachineOnly);
    // A lookup that fails gives no answer either way; the product name may still tell.
    if (for_machine && *for_machine) return PrecheckAnswer::MachineWide;
  }
  if (!app.product_name.empty() && installed.find_by_product_name_in(app.product_name, RootScope::MachineOnly)) {
    return PrecheckAnswer::MachineWide;
  }
  return PrecheckAnswer::Absent;
}

}  // namespace yoxa
