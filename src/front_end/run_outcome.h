#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "core/protocol_event.h"
#include "core/result_tally.h"

namespace yoxa {

// Fills in a result for every selected app the worker did not report, decides the
// run's exit code (2 under `strict` when anything failed), emits `done` and returns it.
int finish_run(std::string_view action, bool strict, int worker_code, const std::vector<std::string>& selected,
               std::vector<AppResult>& results);

}  // namespace yoxa
