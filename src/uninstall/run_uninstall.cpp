#include "uninstall/run_uninstall.h"

#include <algorithm>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "uninstall/uninstall_msix.h"
#include "uninstall/uninstall_precheck.h"
#include "uninstall/uninstall_registered.h"

namespace yoxa {

std::string account_mismatch_message(std::string_view display_name, std::string_view user_name) {
  return format(
      "{}: the launcher found a per-user installation for the invoking user, but this \n"
      "                     elevated worker's HKEY_CURRENT_USER (user '{}') has no trace of it \u2014 UAC was \n"
      "                     approved by a different account. Sign in as the owning user and uninstall from \n"
      "                     there, or approve the prompt with that account.",
      display_name, user_name);
}

namespace {

AppResult result_for(const AppDescriptor& app, const RemovalOutcome& outcome,
                     const std::vector<std::string>& per_user_precheck, const UninstallHost& host) {
  std::string id(app.id);
  if (!outcome) {
    log::error(format("{}: uninstall failed: {}", app.display_name, outcome.error().full_text()));
    return AppResult::failed(std::move(id), wire_string(code_for_error(outcome.error())));
  }
  if (*outcome == Removal::Removed) {
    log::info(format("{}: removed", app.display_name));
    return AppResult::plain(std::move(id), AppStatus::Uninstalled);
  }
  if (std::ranges::find(per_user_precheck, id) != per_user_precheck.end()) {
    const std::string user = host.environment_variable("USERNAME").value_or("<unknown>");
    log::error(account_mismatch_message(app.display_name, user));
    return AppResult::failed(std::move(id), wire_string(ErrorKind::UninstallFailed));
  }
  log::info(format("{}: not installed (no action)", app.display_name));
  return AppResult::plain(std::move(id), AppStatus::AlreadyAbsent);
}

}  // namespace

std::vector<AppResult> run_uninstall(const RunContext& run, const std::vector<std::string>& per_user_precheck,
                                     const UninstallHost& host) {
  std::vector<const AppDescriptor*> selected;
  for (const AppDescriptor& app : app_table()) {
    if (std::ranges::find(run.settings.app_ids, app.id) != run.settings.app_ids.end()) selected.push_back(&app);
  }

  std::vector<AppResult> results;
  const std::size_t total = selected.size();
  for (std::size_t index = 0; index < total; ++index) {
    const AppDescriptor& app = *selected[index];
    // Checked only between apps: a removal under way is never interrupted.
    if (run.cancel.cancelled()) {
      log::info(format("{}: uninstall cancelled before it started", app.display_name));
      AppResult cancelled = AppResult::plain(std::string(app.id), AppStatus::Cancelled);
      run.sink.app_result(cancelled);
      results.push_back(std::move(cancelled));
      continue;
    }
    run.sink.stage(app.id, InstallStage::Uninstall, index, total);
    run.sink.progress(app.id, 50, true, "UNINSTALLING", std::nullopt);
    host.stop_running_app(app.process_name);

    const bool machine = run.settings.machine || app.machine_only;
    const RemovalOutcome outcome =
        is_msix_app(app) ? uninstall_msix(run, host, app, machine) : uninstall_registered(run, host, app, machine);
    AppResult result = result_for(app, outcome, per_user_precheck, host);
    run.sink.app_result(result);
    results.push_back(std::move(result));
  }
  return results;
}

std::vector<AppResult> run_uninstall(const RunContext& run, const std::vector<std::string>& per_user_precheck) {
  return run_uninstall(run, per_user_precheck, UninstallHost{});
}

}  // namespace yoxa
