// staging_probe LOG_DIR COMMAND ARGS...: drives the engine's staging steps with the real
// platform seams and prints the outcome as one JSON line (tests/e2e/test_staging.py).
// The engine's log goes to LOG_DIR\installer.log.
//   volume PATH                        {"key":text,"free":number|null}
//   disk PATH BYTES LABEL [PATH BYTES LABEL]...
//                                      the disk-space check over these entries
//   acl BASE                           the machine-scope staging directory
//   stop NAME                          stop a running app through PowerShell
//   paths BASE VERSION FORMAT          staging_paths
// Checks print {"ok":bool,"message":text|null,"detail":text|null} plus their own fields.
#include <cstdint>
#include <string>
#include <vector>

#include "core/protocol_event.h"
#include "install/staging.h"
#include "platform/system.h"
#include "system/logger.h"

namespace {

yoxa::Json outcome(const yoxa::Result<void>& result) {
  yoxa::Json line = {{"ok", result.has_value()}, {"message", nullptr}, {"detail", nullptr}};
  if (!result) {
    line["message"] = result.error().message();
    line["detail"] = result.error().detail();
  }
  return line;
}

const char* stop_outcome_name(yoxa::StopOutcome outcome) {
  switch (outcome) {
    case yoxa::StopOutcome::NothingToStop: return "nothing-to-stop";
    case yoxa::StopOutcome::NotRunning: return "not-running";
    case yoxa::StopOutcome::Stopped: return "stopped";
    case yoxa::StopOutcome::StillRunning: return "still-running";
    case yoxa::StopOutcome::Failed: return "failed";
  }
  return "?";
}

int run(const std::vector<std::string>& arguments) {
  if (arguments.size() < 3) return 99;
  if (!yoxa::init_logger(arguments[0])) return 98;
  const std::string& command = arguments[1];
  yoxa::Json line;
  if (command == "volume" && arguments.size() == 3) {
    const auto volume = yoxa::lookup_volume(arguments[2]);
    line = {{"key", volume.key}, {"free", volume.free_bytes ? yoxa::Json(*volume.free_bytes) : yoxa::Json(nullptr)}};
  } else if (command == "disk" && arguments.size() >= 5 && (arguments.size() - 2) % 3 == 0) {
    std::vector<yoxa::DiskRequirement> entries;
    for (std::size_t i = 2; i + 2 < arguments.size(); i += 3) {
      entries.push_back({arguments[i], std::stoull(arguments[i + 1]), arguments[i + 2]});
    }
    line = outcome(yoxa::check_disk_requirements(entries, yoxa::lookup_volume));
  } else if (command == "acl" && arguments.size() == 3) {
    line = outcome(yoxa::prepare_machine_staging_directory(arguments[2]));
  } else if (command == "stop" && arguments.size() == 3) {
    line = {{"outcome", stop_outcome_name(yoxa::stop_running_app(arguments[2]))}};
  } else if (command == "paths" && arguments.size() == 5) {
    const auto paths = yoxa::staging_paths(arguments[2], arguments[3], arguments[4]);
    line = outcome(paths ? yoxa::Result<void>() : yoxa::Result<void>(std::unexpected(paths.error())));
    if (paths) {
      line["final"] = paths->final_path;
      line["temp"] = paths->temp_path;
    }
  } else {
    return 97;
  }
  yoxa::platform::write_standard_output(yoxa::to_wire(line) + "\n");
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
