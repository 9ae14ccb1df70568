#include "uninstall/run_uninstall.h"

#include "core/log.h"

namespace yoxa {

// Placeholder until the uninstall engine lands: every selected app fails.
std::vector<AppResult> run_uninstall(const RunContext& run, const std::vector<std::string>& /*per_user_precheck*/) {
  std::vector<AppResult> results;
  for (const std::string& id : run.settings.app_ids) {
    log::error(id + ": uninstall is not available in this build of the engine");
    AppResult result = AppResult::failed(id, "UNINSTALL_FAILED");
    run.sink.app_result(result);
    results.push_back(std::move(result));
  }
  return results;
}

}  // namespace yoxa
