#include "front_end/event_pipe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "core/text.h"
#include "log_capture.h"
#include "platform/system.h"

namespace yoxa {
namespace {

using platform::PipeClient;
using platform::PipeServer;
using testing::logged_by;

std::size_t count_of(const std::string& text, std::string_view part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

std::string unique_suffix() {
  static std::random_device random;
  return format("{}-{}", random(), platform::current_process_id());
}
// A pipe name of its own for every test, shaped like the engine's: it ends with the id of
// the process meant to read it, this one unless told otherwise.
std::string fresh_pipe_name() { return "\\\\.\\pipe\\Yoxa\\YoxaOffice\\EngineRunTest-" + unique_suffix(); }
std::string pipe_name_for(std::uint32_t reader) {
  static std::random_device random;
  return format("\\\\.\\pipe\\Yoxa\\YoxaOffice\\EngineRunTest-{}-{}", random(), reader);
}

// ---------------------------------------------------------------------------------------------
TEST(EventLineSplitter, SplitsTrimsAndStopsAtInvalidUtf8) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
    bool valid;
  };
  const Case cases[] = {
      {"LF and CRLF", {"a\nb\r\n"}, {"a", "b"}, true},
      {"blank and space-only lines are skipped", {"\n  \n\r\n\t x y \t\r\n"}, {"x y"}, true},
      {"a line split across chunks", {"{\"ty", "pe\":", "1}\n"}, {"{\"type\":1}"}, true},
      {"a UTF-8 sequence split across chunks", {"caf\xC3", "\xA9\n"}, {"caf\xC3\xA9"}, true},
      {"the last line without LF", {"a\n", "tail \r"}, {"a", "tail"}, true},
      {"an invalid line stops the stream", {"one\nbad \xFF\nthree\n", "four\n"}, {"one"}, false},
      {"a truncated sequence at the end", {"one\n\xE2\x82"}, {"one"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EventLineSplitter splitter;
    std::vector<std::string> lines;
    const auto collect = [&](std::string_view line) { lines.emplace_back(line); };
    bool valid = true;
    for (const auto& chunk : c.chunks) valid = splitter.feed(chunk, collect) && valid;
    valid = splitter.finish(collect) && valid;
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(valid, c.valid);
  }
}

// ---------------------------------------------------------------------------------------------
// A pause that can hold the sender at its first wait, so the test decides what the
// sender finds when it asks again.
class Gate {
 public:
  void pause(std::chrono::milliseconds) {
    std::unique_lock lock(mutex_);
    ++pauses_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
  }
  void wait_for_first_pause() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return pauses_ > 0; });
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int pauses_ = 0;
  bool open_ = false;
};

TEST(EventPipe, RelaysEventsInOrderAndEndsWhenTheChannelCloses) {
  const std::string name = fresh_pipe_name();
  auto [sink, receiver] = make_event_channel();
  Gate gate;
  std::thread sender([&, r = std::move(receiver)]() mutable {
    run_event_pipe_sender(name, std::move(r), [&](std::chrono::milliseconds spacing) { gate.pause(spacing); });
  });
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < 200; ++i) {  // 700 KiB in all: many reads, lines across chunk ends
    const std::string message = format("event {} {}", i, std::string(i * 37, 'x'));
    sink.log("info", message);
    expected.push_back(to_wire(log_event("info", message)));
  }

  // While the sender waits, a client comes and goes; the sender must drop it and
  // serve the client behind it.
  gate.wait_for_first_pause();
  { auto touch = PipeClient::open(name); ASSERT_TRUE(touch.has_value()); }
  auto pipe = connect_event_pipe(name, platform::current_process_id(), [] { return true; });
  ASSERT_TRUE(pipe.has_value());
  gate.open();
  { EventSink dropped = std::move(sink); }  // the channel closes once the queue is drained

  std::vector<std::string> lines;
  read_event_lines(*pipe, [&](std::string_view line) { lines.emplace_back(line); });
  sender.join();
  EXPECT_EQ(lines, expected);
}

TEST(EventPipe, SenderGivesUpAfterItsAttemptBudget) {
  struct Case {
    const char* name;
    bool name_already_served;
    const char* warning;
    const char* error;
  };
  const Case cases[] = {
      {"the name is served by someone else", true, "Failed to create ipc: ", "Failed to create ipc after multiple attempts"},
      {"no client ever connects", false, "Failed to accept ipc: ", "Failed to accept connection after multiple attempts"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = fresh_pipe_name();
    std::optional<PipeServer> squatter;
    if (c.name_already_served) squatter.emplace(std::move(PipeServer::create_first(name).value()));
    auto [sink, receiver] = make_event_channel();
    sink.log("info", "never delivered");
    int pauses = 0;
    const std::string log = logged_by([&, &r = receiver] {
      run_event_pipe_sender(name, std::move(r), [&](std::chrono::milliseconds spacing) {
        EXPECT_EQ(spacing, kPipeAttemptSpacing);
        ++pauses;
      });
    });
    EXPECT_EQ(pauses, kPipeAttempts - 1);
    EXPECT_EQ(count_of(log, c.warning), static_cast<std::size_t>(kPipeAttempts / 50));
    EXPECT_EQ(count_of(log, c.error), 1u);
    EXPECT_EQ(count_of(log, "Connected to client"), 0u);
  }
}

TEST(EventPipe, TheRunProcessIdIsTheNumberThatEndsThePipeName) {
  const struct {
    const char* name;
    std::optional<std::uint32_t> pid;
  } cases[] = {
      {"\\\\.\\pipe\\Yoxa\\YoxaOffice\\EngineRun-4242", 4242u},
      {"\\\\.\\pipe\\Yoxa\\YoxaOffice\\EngineRun-4294967295", 4294967295u},
      {"\\\\.\\pipe\\Yoxa\\YoxaOffice\\EngineRun-4294967296", std::nullopt},
      {"\\\\.\\pipe\\Yoxa\\YoxaOffice\\EngineRun-", std::nullopt},
      {"\\\\.\\pipe\\Yoxa\\YoxaOffice\\EngineRun-12a", std::nullopt},
      {"\\\\.\\pipe\\Yoxa\\YoxaOffice\\EngineRun-+12", std::nullopt},
      {"\\\\.\\pipe\\Yoxa\\YoxaOffice\\EngineRun-0", std::nullopt},
      {"\\\\.\\pipe\\Yoxa\\YoxaOffice\\EngineRun", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(run_process_of_pipe(c.name), c.pid) << c.name;
}

// A client that is not the run process the name was made for gets no event and is
// disconnected; the sender keeps listening for the right one.
TEST(EventPipe, SenderServesOnlyTheRunProcessTheNameCarries) {
  const std::uint32_t own_pid = platform::current_process_id();
  for (const bool stranger : {true, false}) {
    SCOPED_TRACE(stranger ? "a stranger connects first" : "the run process connects");
    const std::string name = pipe_name_for(stranger ? own_pid + 1 : own_pid);
    auto [sink, receiver] = make_event_channel();
    sink.log("info", "for the run process only");
    std::optional<PipeClient> client;
    std::atomic<bool> opened = false;
    int pauses = 0;
    std::string log;
    std::thread sender([&, r = std::move(receiver)]() mutable {
      log = logged_by([&] {
        run_event_pipe_sender(name, std::move(r), [&](std::chrono::milliseconds) {
          if (++pauses > 1) return;
          client.emplace(std::move(PipeClient::open(name).value()));
          opened = true;
        });
      });
    });
    while (!stranger && !opened) std::this_thread::yield();
    std::vector<std::string> lines;
    if (!stranger) {
      { EventSink dropped = std::move(sink); }
      read_event_lines(*client, [&](std::string_view line) { lines.emplace_back(line); });
      sender.join();
    } else {
      sender.join();  // gives up after its attempt budget
      read_event_lines(*client, [&](std::string_view line) { lines.emplace_back(line); });
    }
    EXPECT_EQ(lines.size(), stranger ? 0u : 1u);
    EXPECT_EQ(count_of(log, "Connected to client"), stranger ? 0u : 1u) << log;
    EXPECT_EQ(count_of(log, format("The event pipe was opened by process {}, not by the run process (pid {}); "
                                   "disconnecting it",
                                   own_pid, own_pid + 1)),
              stranger ? 1u : 0u)
        << log;
    EXPECT_EQ(count_of(log, "Failed to accept connection after multiple attempts"), stranger ? 1u : 0u) << log;
  }
}

TEST(EventPipe, ConnectRefusesOtherServersAndStopsWhenTheWorkerHasEnded) {
  const std::uint32_t own_pid = platform::current_process_id();
  struct Case {
    const char* name;
    bool squatter;           // this process serves the name, but it is not the worker
    bool worker_alive;
    int pauses;
    std::string log_part;
  };
  const Case cases[] = {
      {"a server that is not the worker", true, true, kPipeAttempts - 1,
       format("is served by process {}, not by the worker (pid {})", own_pid, own_pid + 1)},
      {"no pipe while the worker runs", false, true, kPipeAttempts - 1, ""},
      {"no pipe and the worker has ended", false, false, 0, "ended before its event pipe could be opened"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = fresh_pipe_name();
    std::optional<PipeServer> squatter;
    if (c.squatter) squatter.emplace(std::move(PipeServer::create_first(name).value()));
    int pauses = 0;
    int alive_asked = 0;
    std::optional<PipeClient> pipe;
    const std::string log = logged_by([&] {
      pipe = connect_event_pipe(
          name, own_pid + 1,
          [&] {
            ++alive_asked;
            return c.worker_alive;
          },
          [&](std::chrono::milliseconds) { ++pauses; });
    });
    EXPECT_FALSE(pipe.has_value());
    EXPECT_EQ(pauses, c.pauses);
    EXPECT_GE(alive_asked, 1);
    if (!c.log_part.empty()) {
      EXPECT_NE(log.find(c.log_part), std::string::npos) << log;
    }
  }
}

// ---------------------------------------------------------------------------------------------
TEST(PlatformIpc, NamedMutexIsHeldUntilItsOwnerDrops) {
  const std::string name = "YoxaOfficeInstallerEngineRunTest-" + unique_suffix();
  bool first_exists = true;
  std::optional<platform::NamedMutex> first;
  first.emplace(std::move(platform::NamedMutex::create_owned(name, first_exists).value()));
  EXPECT_FALSE(first_exists);
  bool second_exists = false;
  ASSERT_TRUE(platform::NamedMutex::create_owned(name, second_exists).has_value());
  EXPECT_TRUE(second_exists);
  first.reset();
  bool third_exists = true;
  ASSERT_TRUE(platform::NamedMutex::create_owned(name, third_exists).has_value());
  EXPECT_FALSE(third_exists);
}

TEST(PlatformIpc, DetachedProcessGivesItsExitCode) {
  auto child = platform::DetachedProcess::start(YOXA_FAKE_SHELL, {"out ignored; exit 7"});
  ASSERT_TRUE(child.has_value());
  EXPECT_NE(child->id(), 0u);
  EXPECT_EQ(child->wait(), 7u);
}

}  // namespace
}  // namespace yoxa
