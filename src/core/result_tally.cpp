#include "core/result_tally.h"

#include <algorithm>

namespace yoxa {

namespace {
bool is_success(AppStatus status) {
  switch (status) {
    case AppStatus::Installed:
    case AppStatus::Updated:
    case AppStatus::Uninstalled:
    case AppStatus::AlreadyAbsent:
    case AppStatus::Skipped:
      return true;
    case AppStatus::Failed:
    case AppStatus::Cancelled:
      return false;
  }
  return false;
}
}  // namespace

ResultTally tally_results(const std::vector<AppResult>& results) {
  ResultTally tally;
  for (const AppResult& result : results) {
    if (result.status == AppStatus::Failed) ++tally.failed;
    if (is_success(result.status)) ++tally.succeeded;
  }
  return tally;
}

int worker_exit_code(const std::vector<AppResult>& results, bool cancelled) {
  const ResultTally tally = tally_results(results);
  cancelled = cancelled || std::ranges::count(results, AppStatus::Cancelled, &AppResult::status) > 0;
  if (tally.failed > 0 && tally.succeeded == 0) return 2;
  if (cancelled) return 1;
  return tally.failed == 0 ? 0 : 1;
}

}  // namespace yoxa
