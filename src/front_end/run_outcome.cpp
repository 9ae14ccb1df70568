#include "front_end/run_outcome.h"

#include <algorithm>

#include "core/error.h"
#include "core/text.h"
#include "front_end/emit.h"
#include "core/log.h"

namespace yoxa {

namespace {
AppResult filled_in_result(const std::string& app, bool uninstall, int worker_code) {
  if (worker_code == 0) return AppResult::plain(app, uninstall ? AppStatus::Uninstalled : AppStatus::Installed);
  return AppResult::failed(app, wire_string(uninstall ? ErrorKind::UninstallFailed : ErrorKind::InstallFailed));
}
}  // namespace

int finish_run(std::string_view action, bool strict, int worker_code, const std::vector<std::string>& selected,
               std::vector<AppResult>& results) {
  const bool uninstall = action == "uninstall";
  for (const std::string& app : selected) {
    if (std::ranges::any_of(results, [&](const AppResult& r) { return r.app == app; })) continue;
    AppResult filled = filled_in_result(app, uninstall, worker_code);
    log::error(format("no app-result reached the launcher for '{}' (action={}, worker exit={}); reporting {} \u2014 "
                      "the event stream lost it or the worker never emitted it",
                      app, action, worker_code, wire_string(filled.status)));
    emit_log("error", format("no result was reported for '{}'; see the installer log", app));
    emit(app_result_object(filled));
    results.push_back(std::move(filled));
  }
  const bool any_failed = std::ranges::any_of(results, [](const AppResult& r) { return r.status == AppStatus::Failed; });
  const int code = strict && any_failed ? 2 : worker_code;
  emit_done(action, code, results);
  return code;
}

}  // namespace yoxa
