#include "front_end/emit.h"

#include <mutex>

#include "config/retirement.h"
#include "platform/system.h"
#include "core/log.h"
#include "core/text.h"

namespace yoxa {

namespace {
std::mutex& standard_output_lock() {
  static std::mutex lock;
  return lock;
}
}  // namespace

void emit(const Json& event) {
  std::string line = to_wire(event);
  line += '\n';
  std::lock_guard lock(standard_output_lock());
  platform::write_standard_output(line);
}

void emit_log(std::string_view level, std::string_view message) {
  const std::string text = format("engine: {}", message);
  if (level == "error") log::error(text);
  else if (level == "warn") log::warn(text);
  else log::info(text);
  emit(log_event(level, message));
}

void emit_done(std::string_view action, int exit_code, const std::vector<AppResult>& results) {
  emit(done_event(action, exit_code, results, current_retirement()));
}

}  // namespace yoxa
