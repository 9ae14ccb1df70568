#pragma once
#include <cstddef>
#include <vector>

#include "core/protocol_event.h"

namespace yoxa {

// How a run's results came out: successes are installed, updated, uninstalled,
// already_absent and skipped; cancelled results count as neither.
struct ResultTally {
  std::size_t succeeded = 0;
  std::size_t failed = 0;
};
ResultTally tally_results(const std::vector<AppResult>& results);

// The exit code of a run from its results: 0 clean, 1 mixed (or cancelled after a
// success), 2 failures without any success.
int worker_exit_code(const std::vector<AppResult>& results, bool cancelled);

}  // namespace yoxa
