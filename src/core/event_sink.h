#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "core/protocol_event.h"

namespace yoxa {

namespace detail {
struct EventChannelState {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::string> queue;
  bool closed = false;          // every sink holder has gone
  bool receiver_gone = false;   // nobody will read any more
  bool discarding = false;      // made to be dropped: sends are no-ops
};
// Closes the channel when the last sink holder drops it.
struct SenderToken {
  explicit SenderToken(std::shared_ptr<EventChannelState> s) : state(std::move(s)) {}
  ~SenderToken();
  SenderToken(const SenderToken&) = delete;
  SenderToken& operator=(const SenderToken&) = delete;
  std::shared_ptr<EventChannelState> state;
};
}  // namespace detail

// The consuming end of an event channel: one consumer thread reads every text in order.
class EventReceiver {
 public:
  explicit EventReceiver(std::shared_ptr<detail::EventChannelState> state) : state_(std::move(state)) {}
  ~EventReceiver();
  EventReceiver(EventReceiver&&) = default;
  EventReceiver& operator=(EventReceiver&&) = delete;
  // Blocks for the next event text; none once the channel is closed and empty.
  std::optional<std::string> receive();

 private:
  std::shared_ptr<detail::EventChannelState> state_;
};

// Queued emission for code that may run inside a worker. Copies share one channel;
// sends never block.
class EventSink {
 public:
  void progress(std::string_view app, std::uint64_t percent, bool indeterminate, std::string_view detail_code,
                const std::optional<Json>& detail_args) const;
  void progress(std::string_view app, std::uint64_t percent, std::string_view detail_code) const;
  void log(std::string_view level, std::string_view message) const;
  void stage(std::string_view app, InstallStage stage, std::size_t index, std::size_t total) const;
  void app_result(const AppResult& result) const;

 private:
  friend std::pair<EventSink, EventReceiver> make_event_channel();
  friend EventSink discarding_event_sink();
  explicit EventSink(std::shared_ptr<detail::SenderToken> token) : token_(std::move(token)) {}
  void send(const Json& event) const;
  std::shared_ptr<detail::SenderToken> token_;
};

std::pair<EventSink, EventReceiver> make_event_channel();
// A sink whose events nobody reads, for work whose progress must not reach the launcher.
EventSink discarding_event_sink();

}  // namespace yoxa
