#pragma once
#include <cstddef>
#include <string_view>
#include <vector>

#include "core/protocol_event.h"

namespace yoxa {

// Deeper nesting than any event has is refused before it is parsed: re-serialising
// recurses once per level, and a worker line must never end the run process.
inline constexpr std::size_t kMaxRelayedNesting = 64;

// True when the arrays and objects of `text` (strings skipped) nest deeper than `limit`.
bool nested_deeper_than(std::string_view text, std::size_t limit);

// One line of the worker's stream: recorded when it is a result, then passed on.
// A line that is not JSON goes out as a warning.
void relay_line(std::string_view line, std::vector<AppResult>& results);

}  // namespace yoxa
