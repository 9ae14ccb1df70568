#include "uninstall/uninstall_registered.h"

#include "core/log.h"
#include "core/text.h"
#include "uninstall/uninstall_msi.h"
#include "uninstall/uninstall_string.h"

namespace yoxa {

namespace {

RemovalOutcome uninstall_machine_wide(const RunContext& run, const UninstallHost& host, const AppDescriptor& app) {
  if (!app.upgrade_code.empty()) {
    auto found = run.installed->find_by_upgrade_code_in(app.upgrade_code, RootScope::MachineOnly);
    if (!found) return std::unexpected(found.error());
    if (*found) return uninstall_msi_confirmed(run, host, app, (*found)->key, RootScope::MachineOnly);
  }
  if (!app.product_name.empty()) {
    if (auto entry = run.installed->find_by_product_name_in(app.product_name, RootScope::Any)) {
      return uninstall_by_uninstall_string(run, host, app, *entry, true);
    }
  }
  log::info(format("{}: not installed (no MSI code, no Uninstall-name entry)", app.display_name));
  return Removal::NotInstalled;
}

}  // namespace

RemovalOutcome uninstall_registered(const RunContext& run, const UninstallHost& host, const AppDescriptor& app,
                                    bool machine) {
  if (machine) return uninstall_machine_wide(run, host, app);

  if (!app.product_name.empty()) {
    if (auto entry = run.installed->find_by_product_name_in(app.product_name, RootScope::UserOnly)) {
      return uninstall_by_uninstall_string(run, host, app, *entry, false);
    }
  }
  if (!app.upgrade_code.empty()) {
    auto found = run.installed->find_by_upgrade_code_in(app.upgrade_code, RootScope::UserOnly);
    if (!found) return std::unexpected(found.error());
    if (*found) {
      log::info(format("{}: per-user MSI registration found in HKCU (upgrade code); removing via msiexec /x",
                       app.display_name));
      return uninstall_msi_confirmed(run, host, app, (*found)->key, RootScope::UserOnly);
    }
  }
  if (!host.is_elevated()) {
    log::info(format("{}: no per-user install and not elevated; the launcher's pre-check saw no machine-wide install "
                     "either, so there is nothing to remove",
                     app.display_name));
    return Removal::NotInstalled;
  }
  log::info(format("{}: no per-user install; elevated uninstall \u2014 removing the machine-wide install",
                   app.display_name));
  return uninstall_machine_wide(run, host, app);
}

}  // namespace yoxa
