#include "front_end/relay.h"

#include <optional>
#include <string>

#include "core/error.h"
#include "core/text.h"
#include "front_end/emit.h"
#include "core/log.h"

namespace yoxa {

bool nested_deeper_than(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

namespace {
std::optional<Json> parse_event(std::string_view line) {
  if (nested_deeper_than(line, kMaxRelayedNesting)) return std::nullopt;
  try {
    return Json::parse(line);
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}
}  // namespace

void relay_line(std::string_view line, std::vector<AppResult>& results) {
  const std::optional<Json> event = parse_event(line);
  if (!event) {
    log::error(format("unparseable line on the worker event stream: {}", line));
    emit(log_event("warn", line));
    return;
  }
  if (auto parsed = parse_app_result(*event)) {
    AppResult result = std::move(*parsed);
    log::info(format("relaying app-result: {} -> {}{}", result.app, wire_string(result.status),
                     result.error_code ? format(" ({})", *result.error_code) : std::string()));
    results.push_back(std::move(result));
  }
  emit(*event);
}

}  // namespace yoxa
