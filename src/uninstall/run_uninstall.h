#pragma once
// Removes the selected apps one after another, whatever they were installed with.
#include <string>
#include <vector>

#include "core/protocol_event.h"
#include "install/run_context.h"
#include "uninstall/uninstall_host.h"

namespace yoxa {

// Every selected app in table order gets one result (emitted as it is decided); never fails as
// a whole. `per_user_precheck` holds the ids the launcher found installed for the invoking user.
// A cancel is honoured between apps: the apps not yet started are reported cancelled.
std::vector<AppResult> run_uninstall(const RunContext& run, const std::vector<std::string>& per_user_precheck);
std::vector<AppResult> run_uninstall(const RunContext& run, const std::vector<std::string>& per_user_precheck,
                                     const UninstallHost& host);

// The log line for an app the launcher saw installed for its user but this process cannot
// see: the elevated worker runs as another account.
std::string account_mismatch_message(std::string_view display_name, std::string_view user_name);

}  // namespace yoxa
