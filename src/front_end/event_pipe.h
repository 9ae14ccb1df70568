#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/event_sink.h"
#include "core/pause.h"
#include "platform/ipc.h"

namespace yoxa {

// Both ends of the event pipe between the worker and the run process.

// Attempt budget shared by both sides: about 30 seconds each.
inline constexpr int kPipeAttempts = 300;
inline constexpr auto kPipeAttemptSpacing = std::chrono::milliseconds(100);

// How a side waits between two attempts; the plain overloads sleep. Tests pass their own.

// Worker side: creates the pipe, accepts the run process and forwards every event of
// the channel as one line until the channel closes. Returns when it is done or has
// given up (then the receiver is dropped and later sends are logged as failures).
// Only the run process whose id ends the pipe name ("...EngineRun-<pid>") is served; any
// other client is disconnected and the pipe listens again.
void run_event_pipe_sender(const std::string& pipe_name, EventReceiver receiver);
void run_event_pipe_sender(const std::string& pipe_name, EventReceiver receiver, const Pause& pause);

// The run process id a pipe name ends with ("-" and decimal digits); none otherwise.
std::optional<std::uint32_t> run_process_of_pipe(std::string_view pipe_name);

// Run side: splits the byte stream into lines at line feeds; each line loses one
// trailing LF and one trailing CR, is trimmed, and is handed on when not empty.
class EventLineSplitter {
 public:
  using LineHandler = std::function<void(std::string_view line)>;
  // false once a line was not valid UTF-8: the stream must end there.
  bool feed(std::string_view bytes, const LineHandler& on_line);
  // The last line when the stream ended without a line feed.
  bool finish(const LineHandler& on_line);

 private:
  bool hand_on(std::string_view line, const LineHandler& on_line);
  std::string pending_;
  bool stopped_ = false;
};

// Run side: up to kPipeAttempts attempts, kPipeAttemptSpacing apart, to open the pipe
// for reading; a busy pipe is waited for and opened again within the same attempt.
// A pipe served by a process other than `worker_pid` is closed and counts as a failed
// attempt. Stops early when `worker_alive` answers false (the worker has ended).
// None after the last failed attempt.
std::optional<platform::PipeClient> connect_event_pipe(const std::string& pipe_name, std::uint32_t worker_pid,
                                                       const std::function<bool()>& worker_alive);
std::optional<platform::PipeClient> connect_event_pipe(const std::string& pipe_name, std::uint32_t worker_pid,
                                                       const std::function<bool()>& worker_alive,
                                                       const Pause& pause);

// Run side: reads the pipe in chunks of up to 8192 bytes and hands every line on,
// until end of stream, a read error or a line that is not valid UTF-8.
void read_event_lines(platform::PipeClient& pipe, const EventLineSplitter::LineHandler& on_line);

}  // namespace yoxa
