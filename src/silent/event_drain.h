#pragma once
// A headless run has nobody to read its protocol events: they are received on a thread
// of their own and dropped.
#include <future>
#include <optional>
#include <thread>

#include "core/event_sink.h"

namespace yoxa {

class DiscardingDrain {
 public:
  DiscardingDrain();
  ~DiscardingDrain();
  DiscardingDrain(const DiscardingDrain&) = delete;
  DiscardingDrain& operator=(const DiscardingDrain&) = delete;

  // The sink to hand to the run. Copies must be gone before close().
  const EventSink& sink() const { return *sink_; }
  // Drops the sink and waits for the drain to end, checking every 100 ms at most 50
  // times; false (the thread left running) when it did not end in time.
  bool close();

 private:
  std::optional<EventSink> sink_;
  std::future<void> done_;
  std::thread thread_;
};

}  // namespace yoxa
