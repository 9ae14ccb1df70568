#include "silent/event_drain.h"

#include <chrono>

namespace yoxa {

namespace {
constexpr int kJoinChecks = 50;
constexpr auto kJoinSpacing = std::chrono::milliseconds(100);
}  // namespace

DiscardingDrain::DiscardingDrain() {
  auto [sink, receiver] = make_event_channel();
  sink_.emplace(std::move(sink));
  std::packaged_task<void()> drain([events = std::move(receiver)]() mutable {
    while (events.receive()) {
    }
  });
  done_ = drain.get_future();
  thread_ = std::thread(std::move(drain));
}

DiscardingDrain::~DiscardingDrain() { close(); }

bool DiscardingDrain::close() {
  sink_.reset();
  if (!thread_.joinable()) return true;
  for (int check = 0; check < kJoinChecks; ++check) {
    if (done_.wait_for(kJoinSpacing) == std::future_status::ready) {
      thread_.join();
      return true;
    }
  }
  // Someone still holds a copy of the sink; the drain ends with the process.
  thread_.detach();
  return false;
}

}  // namespace yoxa
