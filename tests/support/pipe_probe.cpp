// pipe_probe LOG_DIR COMMAND ARGS...: drives the engine's event pipe and its platform
// seams for real (tests/e2e/test_event_pipe.py). Prints one JSON line; the engine's
// log goes to LOG_DIR\installer.log.
//   run COUNT EXIT direct|impostor-first|stranger-first
//                                 starts `worker` as a detached child, connects to its
//                                 pipe (first expecting another process id, for a few
//                                 seconds, with impostor-first; after a `stranger` child
//                                 has connected first and ended, with stranger-first) and
//                                 relays its events: {"impostor_connected"|"stranger_lines",
//                                 "connected","lines":N,"in_order","exit"}; the child logs
//                                 to LOG_DIR\worker
//   worker NAME COUNT EXIT        serves COUNT log events on pipe NAME, exits with EXIT
//   stranger NAME                 opens pipe NAME as soon as it exists and reads it to its
//                                 end; exits with the number of lines read (kNeverOpened
//                                 when it never could open it)
//   first NAME                    {"second_first_instance":"created"|"refused"}
//   mutex NAME                    {"first_exists","second_exists"}
//   elevated                      {"elevated":bool}
//   stdin                         {"lines":[...]}: standard input, line by line
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core/event_sink.h"
#include "core/line_reader.h"
#include "core/protocol_event.h"
#include "core/text.h"
#include "front_end/event_pipe.h"
#include "front_end/stdin_commands.h"
#include "platform/ipc.h"
#include "platform/security.h"
#include "platform/system.h"
#include "system/logger.h"

namespace {

namespace platform = yoxa::platform;

// Long enough that lines straddle the relay's 8 KiB reads.
std::string event_message(std::size_t index) { return yoxa::format("event {} {}", index, std::string(index % 300, 'x')); }

int serve(const std::string& name, std::size_t count, std::uint32_t exit_code) {
  auto [sink, receiver] = yoxa::make_event_channel();
  std::thread sender([&name, r = std::move(receiver)]() mutable { yoxa::run_event_pipe_sender(name, std::move(r)); });
  for (std::size_t i = 0; i < count; ++i) sink.log("info", event_message(i));
  { yoxa::EventSink dropped = std::move(sink); }
  sender.join();
  return static_cast<int>(exit_code);
}

constexpr int kNeverOpened = 201;

// Another process, not the run process the pipe name carries, getting in first.
int stranger(const std::string& name) {
  for (int attempt = 0; attempt < 300; ++attempt) {
    if (auto pipe = platform::PipeClient::open(name)) {
      int lines = 0;
      yoxa::read_event_lines(*pipe, [&](std::string_view) { ++lines; });
      return lines;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return kNeverOpened;
}

yoxa::Json relay(const std::string& log_dir, std::size_t count, const std::string& exit_code, bool impostor_first,
                 bool stranger_first) {
  const std::string name =
      yoxa::format("\\\\.\\pipe\\Yoxa\\YoxaOffice\\EngineRunProbe-{}", platform::current_process_id());
  auto worker = platform::DetachedProcess::start(
      platform::own_executable_path().value_or(std::string()), {log_dir + "\\worker", "worker", name, std::to_string(count), exit_code});
  if (!worker) return {{"error", worker.error().text}};
  yoxa::Json outcome;
  if (impostor_first) {
    // Expecting another process: every attempt must be refused. About three seconds
    // of refusals, then the worker must still be there for the real client.
    int asked = 0;
    auto refused = yoxa::connect_event_pipe(name, worker->id() + 4, [&] { return ++asked < 30; });
    outcome["impostor_connected"] = refused.has_value();
  }
  if (stranger_first) {
    auto other = platform::DetachedProcess::start(platform::own_executable_path().value_or(std::string()),
                                                  {log_dir + "\\stranger", "stranger", name});
    if (!other) return {{"error", other.error().text}};
    const auto read = other->wait();
    outcome["stranger_lines"] = read ? yoxa::Json(*read) : yoxa::Json(read.error().text);
  }
  std::vector<std::string> lines;
  auto pipe = yoxa::connect_event_pipe(name, worker->id(), [] { return true; });
  outcome["connected"] = pipe.has_value();
  if (pipe) yoxa::read_event_lines(*pipe, [&](std::string_view line) { lines.emplace_back(line); });
  pipe.reset();
  const auto ended = worker->wait();
  bool in_order = lines.size() == count;
  for (std::size_t i = 0; in_order && i < count; ++i) {
    in_order = lines[i] == yoxa::to_wire(yoxa::log_event("info", event_message(i)));
  }
  outcome["lines"] = lines.size();
  outcome["in_order"] = in_order;
  outcome["exit"] = ended ? yoxa::Json(*ended) : yoxa::Json(ended.error().text);
  return outcome;
}

int run(const std::vector<std::string>& arguments) {
  if (arguments.size() < 2) return 99;
  if (!yoxa::init_logger(arguments[0])) return 98;
  const std::string& command = arguments[1];
  yoxa::Json line;
  if (command == "worker" && arguments.size() == 5) {
    return serve(arguments[2], std::stoul(arguments[3]), static_cast<std::uint32_t>(std::stoul(arguments[4], nullptr, 0)));
  } else if (command == "stranger" && arguments.size() == 3) {
    return stranger(arguments[2]);
  } else if (command == "run" && arguments.size() == 5) {
    line = relay(arguments[0], std::stoul(arguments[2]), arguments[3], arguments[4] == "impostor-first",
                 arguments[4] == "stranger-first");
  } else if (command == "first" && arguments.size() == 3) {
    auto first = platform::PipeServer::create_first(arguments[2]);
    if (!first) return 96;
    auto second = platform::PipeServer::create_first(arguments[2]);
    line = {{"second_first_instance", second ? "created" : "refused"}};
  } else if (command == "mutex" && arguments.size() == 3) {
    bool first_exists = false;
    bool second_exists = false;
    auto first = platform::NamedMutex::create_owned(arguments[2], first_exists);
    auto second = platform::NamedMutex::create_owned(arguments[2], second_exists);
    if (!first || !second) return 96;
    line = {{"first_exists", first_exists}, {"second_exists", second_exists}};
  } else if (command == "elevated") {
    line = {{"elevated", platform::is_elevated()}};
  } else if (command == "stdin") {
    std::vector<std::string> lines;
    yoxa::LineReader reader(yoxa::standard_input_source(), yoxa::kMaxStdinLine);
    while (auto next = reader.next()) lines.push_back(next->text);
    line = {{"lines", lines}};
  } else {
    return 97;
  }
  platform::write_standard_output(yoxa::to_wire(line) + "\n");
  return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t**) {
  yoxa::platform::prepare_standard_streams();
  const int code = run(yoxa::platform::command_line_arguments(argc, nullptr));
  yoxa::finish_logging();
  return code;
}
#else
int main(int argc, char** argv) {
  const int code = run(yoxa::platform::command_line_arguments(argc, argv));
  yoxa::finish_logging();
  return code;
}
#endif
