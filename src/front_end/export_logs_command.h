#pragma once
#include <string>
#include <vector>

#include "core/error.h"
#include "core/protocol_event.h"

namespace yoxa {

// The export-logs-result event for an export's outcome.
Json export_logs_result_event(const Result<std::string>& exported);

// `export-logs [--out DIR]`: builds the log bundle, emits export-logs-result and done;
// returns 0, or 2 when the export failed.
int run_export_logs(const std::vector<std::string>& arguments);

}  // namespace yoxa
