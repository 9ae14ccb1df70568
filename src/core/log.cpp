#include "core/log.h"

#include <atomic>

namespace yoxa::log {

namespace {
std::atomic<Writer> g_writer{nullptr};
}  // namespace

void set_writer(Writer writer) noexcept { g_writer.store(writer, std::memory_order_release); }

void write(LogLevel level, std::string_view message) {
  if (const Writer writer = g_writer.load(std::memory_order_acquire)) writer(level, message);
}

}  // namespace yoxa::log
