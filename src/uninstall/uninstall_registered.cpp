#include "uninstall/uninstall_registered.h"

#include "core/log.h"
#include "core/messages.h"
#include "core/places.h"
#include "core/text.h"
#include "uninstall/uninstall_msi.h"
#include "uninstall/uninstall_string.h"

namespace yoxa {

namespace {

// HKEY_CURRENT_USER is written by the user's unelevated processes: an elevated process that ran
// the command found there, or deleted the program it names, would do so with rights the user lacks.
RemovalOutcome refuse_user_entry(const UninstallHost& host, const AppDescriptor& app) {
  const std::string user = host.environment_variable("USERNAME").value_or("<unknown>");
  return fail(msg::kUninstallFailed,
              format("{} is registered under HKEY_CURRENT_USER (user '{}'), a per-user install this elevated process "
                     "does not run or delete: sign in as the owning user and uninstall it from there without "
                     "elevation",
                     app.display_name, user),
              place::kUninstallUserEntryElevated);
}

RemovalOutcome uninstall_machine_wide(const RunContext& run, const UninstallHost& host, const AppDescriptor& app) {
  if (!app.upgrade_code.empty()) {
    auto found = run.installed->find_by_upgrade_code_in(app.upgrade_code, RootScope::MachineOnly);
    if (!found) return std::unexpected(found.error());
    if (*found) return uninstall_msi_confirmed(run, host, app, (*found)->key, RootScope::MachineOnly);
  }
  if (!app.product_name.empty()) {
    const bool elevated = host.is_elevated();
    if (auto entry = run.installed->find_by_product_name_in(app.product_name,
                                                            elevated ? RootScope::MachineOnly : RootScope::Any)) {
      return uninstall_by_uninstall_string(run, host, app, *entry, true);
    }
    if (elevated && run.installed->find_by_product_name_in(app.product_name, RootScope::UserOnly)) {
      return refuse_user_entry(host, app);
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
      if (host.is_elevated()) return refuse_user_entry(host, app);
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
