// exe_install_probe PACKAGE LOG_DIR user|machine: runs the engine's EXE installation with
// the real visible-process seam and prints the outcome as one JSON line:
// {"status":"succeeded"|"cancelled"|null,"message":text|null,"detail":text|null,
//  "reboot":bool,"events":[...]}.
#include <string>

#include "core/protocol_event.h"
#include "install/install_exe.h"
#include "install/pipeline.h"
#include "platform/system.h"

int wmain(int argc, wchar_t**) {
  const auto arguments = yoxa::platform::command_line_arguments(argc, nullptr);
  if (arguments.size() != 3) return 99;
  yoxa::platform::prepare_standard_streams();

  auto [sink, receiver] = yoxa::make_event_channel();
  yoxa::clear_reboot_required();
  const auto outcome = yoxa::install_exe(sink, "notes", arguments[1], arguments[0], arguments[2] == "machine");

  yoxa::Json line = {{"status", nullptr}, {"message", nullptr}, {"detail", nullptr},
                     {"reboot", yoxa::reboot_required()}, {"events", yoxa::Json::array()}};
  if (outcome) {
    line["status"] = *outcome == yoxa::InstallerStatus::Succeeded ? "succeeded" : "cancelled";
  } else {
    line["message"] = outcome.error().message();
    line["detail"] = outcome.error().detail();
  }
  { const auto done = std::move(sink); }
  while (auto text = receiver.receive()) line["events"].push_back(yoxa::Json::parse(*text));
  yoxa::platform::write_standard_output(yoxa::to_wire(line) + "\n");
  return 0;
}
