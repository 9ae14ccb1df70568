#include "front_end/event_pipe.h"

#include <array>
#include <thread>
#include <utility>

#include "core/text.h"
#include "core/log.h"

namespace yoxa {

namespace {
using platform::PipeClient;
using platform::PipeServer;

// Every 50th failure is worth a warning; the rest would only flood the log.
constexpr int kWarnEvery = 50;
bool warning_due(int failures) { return failures % kWarnEvery == 0; }


std::optional<PipeServer> create_pipe(const std::string& pipe_name, std::uint32_t client_pid, const Pause& pause) {
  for (int failures = 0;;) {
    auto server = PipeServer::create_first(pipe_name, client_pid);
    if (server) return std::move(*server);
    ++failures;
    if (warning_due(failures)) log::warn(format("Failed to create ipc: {}", server.error().text));
    if (failures >= kPipeAttempts) {
      log::error("Failed to create ipc after multiple attempts");
      return std::nullopt;
    }
    pause(kPipeAttemptSpacing);
  }
}

// The pipe name is predictable: anyone allowed to open it could connect before the run
// process, read the run's events and leave the run process on the spare instance. Only
// the process the name was made for is served; anyone else is disconnected. Why a client
// was refused, or none when it is the run process.
std::optional<std::string> refuse_stranger(PipeServer& server, std::uint32_t run_pid) {
  const auto client = server.client_process_id();
  if (client && *client == run_pid) return std::nullopt;
  const std::string who = client ? format("process {}", *client) : format("an unknown process ({})", client.error().text);
  log::warn(format("The event pipe was opened by {}, not by the run process (pid {}); disconnecting it", who, run_pid));
  if (auto disconnected = server.disconnect(); !disconnected) return disconnected.error().text;
  return format("a client other than the run process (pid {}) connected", run_pid);
}

// One attempt: empty once a client is connected and a spare instance is ready,
// else why the attempt failed. A client that came and went is dropped and the
// instance asked again at once.
std::optional<std::string> accept_once(PipeServer& server, std::uint32_t run_pid) {
  while (true) {
    auto state = server.try_accept();
    if (!state) return state.error().text;
    switch (*state) {
      case PipeServer::AcceptState::Listening:
        return std::string("no client has connected yet");
      case PipeServer::AcceptState::ClientGone:
        if (auto disconnected = server.disconnect(); !disconnected) return disconnected.error().text;
        continue;
      case PipeServer::AcceptState::Connected:
        if (auto refused = refuse_stranger(server, run_pid)) return refused;
        if (auto spare = server.create_spare_instance(); !spare) return spare.error().text;
        return std::nullopt;
    }
  }
}

bool accept_client(PipeServer& server, std::uint32_t run_pid, const Pause& pause) {
  for (int failures = 0;;) {
    const auto failure = accept_once(server, run_pid);
    if (!failure) return true;
    ++failures;
    if (warning_due(failures)) log::warn(format("Failed to accept ipc: {}", *failure));
    if (failures >= kPipeAttempts) {
      log::error("Failed to accept connection after multiple attempts");
      return false;
    }
    pause(kPipeAttemptSpacing);
  }
}

void forward_events(PipeServer& server, EventReceiver& receiver) {
  while (const auto text = receiver.receive()) {
    if (auto written = server.write_all(*text + "\n"); !written) {
      log::error(format("Failed to send protocol event to the launcher: {}; event: {}", written.error().text, *text));
      continue;
    }
    if (auto flushed = server.flush(); !flushed) {
      log::warn(format("Failed to flush the event pipe: {}", flushed.error().text));
    }
  }
}

// The pipe, once it is known to be served by the worker itself. The pipe name is
// predictable, so another process may have created it first: its events must not
// reach the launcher.
std::optional<PipeClient> open_from_worker(const std::string& pipe_name, std::uint32_t worker_pid) {
  auto pipe = PipeClient::open(pipe_name);
  if (!pipe && pipe.error().kind == PipeClient::OpenFailure::Busy) {
    // A short limit: Wine's WaitNamedPipeW may never wake.
    (void)PipeClient::wait_until_free(pipe_name, static_cast<std::uint32_t>(kPipeAttemptSpacing.count()));
    pipe = PipeClient::open(pipe_name);
  }
  if (!pipe) return std::nullopt;
  const auto server_pid = pipe->server_process_id();
  if (!server_pid) {
    log::warn(format("Could not tell which process serves the event pipe {} (expected the worker, pid {}): {}; "
                     "not reading it",
                     pipe_name, worker_pid, server_pid.error().text));
    return std::nullopt;
  }
  if (*server_pid != worker_pid) {
    log::warn(format("The event pipe {} is served by process {}, not by the worker (pid {}); not reading it",
                     pipe_name, *server_pid, worker_pid));
    return std::nullopt;
  }
  return std::move(*pipe);
}
}  // namespace

void run_event_pipe_sender(const std::string& pipe_name, EventReceiver receiver) {
  run_event_pipe_sender(pipe_name, std::move(receiver), real_pause);
}

std::optional<std::uint32_t> run_process_of_pipe(std::string_view pipe_name) {
  const std::size_t dash = pipe_name.rfind('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const std::string_view digits = pipe_name.substr(dash + 1);
  if (digits.empty() || digits.size() > 10) return std::nullopt;
  std::uint64_t pid = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    pid = pid * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (pid == 0 || pid > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(pid);
}

void run_event_pipe_sender(const std::string& pipe_name, EventReceiver receiver, const Pause& pause) {
  const auto run_pid = run_process_of_pipe(pipe_name);
  if (!run_pid) {
    log::error(format("The event pipe name {} carries no run process id; not creating it", pipe_name));
    return;
  }
  auto server = create_pipe(pipe_name, *run_pid, pause);
  if (!server || !accept_client(*server, *run_pid, pause)) return;
  log::info("Connected to client");
  if (auto blocking = server->set_blocking(); !blocking) {
    log::warn(format("Could not switch the event pipe to blocking mode: {}", blocking.error().text));
  }
  forward_events(*server, receiver);
}

// ---------------------------------------------------------------------------------------------
// A CR before the LF needs no rule of its own: trimming takes it with the other white space.
bool EventLineSplitter::hand_on(std::string_view line, const LineHandler& on_line) {
  if (!is_valid_utf8(line)) {
    stopped_ = true;
    pending_.clear();
    return false;
  }
  line = trim(line);
  if (!line.empty()) on_line(line);
  return true;
}

bool EventLineSplitter::feed(std::string_view bytes, const LineHandler& on_line) {
  if (stopped_) return false;
  pending_.append(bytes);
  std::size_t start = 0;
  for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
    // The handler may not see `pending_` change under it: hand on a copy of the line.
    const std::string line = pending_.substr(start, end - start);
    if (!hand_on(line, on_line)) return false;
  }
  pending_.erase(0, start);
  return true;
}

bool EventLineSplitter::finish(const LineHandler& on_line) {
  if (stopped_) return false;
  const std::string line = std::exchange(pending_, std::string());
  return hand_on(line, on_line);
}

// ---------------------------------------------------------------------------------------------
std::optional<PipeClient> connect_event_pipe(const std::string& pipe_name, std::uint32_t worker_pid,
                                             const std::function<bool()>& worker_alive) {
  return connect_event_pipe(pipe_name, worker_pid, worker_alive, real_pause);
}

std::optional<PipeClient> connect_event_pipe(const std::string& pipe_name, std::uint32_t worker_pid,
                                             const std::function<bool()>& worker_alive, const Pause& pause) {
  for (int attempt = 1; attempt <= kPipeAttempts; ++attempt) {
    if (auto pipe = open_from_worker(pipe_name, worker_pid)) return pipe;
    // A worker that has ended will never serve the pipe: stop waiting for it.
    if (!worker_alive()) {
      log::warn(format("The worker (pid {}) ended before its event pipe could be opened", worker_pid));
      return std::nullopt;
    }
    if (attempt < kPipeAttempts) pause(kPipeAttemptSpacing);
  }
  return std::nullopt;
}

void read_event_lines(PipeClient& pipe, const EventLineSplitter::LineHandler& on_line) {
  EventLineSplitter splitter;
  std::array<char, 8192> buffer;
  while (true) {
    const auto got = pipe.read(buffer);
    if (!got) {
      log::warn(format("Reading the worker's event stream failed: {}", got.error().text));
      return;
    }
    const bool valid = *got == 0 ? splitter.finish(on_line)
                                 : splitter.feed(std::string_view(buffer.data(), *got), on_line);
    if (!valid) log::warn("The worker's event stream carried a line that is not valid UTF-8; the relay stops there");
    if (*got == 0 || !valid) return;
  }
}

}  // namespace yoxa
