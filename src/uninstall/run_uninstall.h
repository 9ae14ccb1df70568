#pragma once
// Removes the selected apps one after another, whatever they were installed with.
#include <string>
#include <vector>

#include "core/protocol_event.h"
#include "install/run_context.h"

namespace yoxa {

// Every selected app in table order gets one result (emitted as it is decided); never fails as
// a whole. `per_user_precheck` holds the ids the launcher found installed for the invoking user.
std::vector<AppResult> run_uninstall(const RunContext& run, const std::vector<std::string>& per_user_precheck);

}  // namespace yoxa
