#include "core/event_sink.h"

#include "core/log.h"
#include "core/text.h"

namespace yoxa {

namespace detail {
SenderToken::~SenderToken() {
  {
    std::lock_guard lock(state->mutex);
    state->closed = true;
  }
  state->ready.notify_all();
}
}  // namespace detail

EventReceiver::~EventReceiver() {
  if (!state_) return;
  std::lock_guard lock(state_->mutex);
  state_->receiver_gone = true;
  state_->queue.clear();
}

std::optional<std::string> EventReceiver::receive() {
  std::unique_lock lock(state_->mutex);
  state_->ready.wait(lock, [&] { return !state_->queue.empty() || state_->closed; });
  if (state_->queue.empty()) return std::nullopt;
  std::string text = std::move(state_->queue.front());
  state_->queue.pop_front();
  return text;
}

void EventSink::send(const Json& event) const {
  std::string text = to_wire(event);
  auto& state = *token_->state;
  {
    std::lock_guard lock(state.mutex);
    if (state.discarding) return;
    if (!state.receiver_gone) {
      state.queue.push_back(std::move(text));
      state.ready.notify_one();
      return;
    }
  }
  log::error(format("Failed to send IPC message: {}", "the event receiver has gone"));
}

void EventSink::progress(std::string_view app, std::uint64_t percent, bool indeterminate,
                         std::string_view detail_code, const std::optional<Json>& detail_args) const {
  send(progress_event(app, percent, indeterminate, detail_code, detail_args));
}

void EventSink::progress(std::string_view app, std::uint64_t percent, std::string_view detail_code) const {
  send(progress_event(app, percent, false, detail_code, std::nullopt));
}

void EventSink::log(std::string_view level, std::string_view message) const { send(log_event(level, message)); }

void EventSink::stage(std::string_view app, InstallStage stage, std::size_t index, std::size_t total) const {
  send(stage_event(app, stage, index, total));
}

void EventSink::app_result(const AppResult& result) const { send(app_result_object(result)); }

std::pair<EventSink, EventReceiver> make_event_channel() {
  auto state = std::make_shared<detail::EventChannelState>();
  return {EventSink(std::make_shared<detail::SenderToken>(state)), EventReceiver(state)};
}

EventSink discarding_event_sink() {
  auto state = std::make_shared<detail::EventChannelState>();
  state->discarding = true;
  return EventSink(std::make_shared<detail::SenderToken>(state));
}

}  // namespace yoxa
