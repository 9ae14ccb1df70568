#pragma once
#include <string_view>
#include <vector>

#include "core/protocol_event.h"

namespace yoxa {

// Direct emission for processes that own standard output: one line per event,
// written and flushed under the standard-output lock.
void emit(const Json& event);
// Logs "engine: {message}" at the matching level, then emits a `log` event.
void emit_log(std::string_view level, std::string_view message);
// The last event of every subcommand, with the retirement verdict of this moment.
void emit_done(std::string_view action, int exit_code, const std::vector<AppResult>& results);

}  // namespace yoxa
