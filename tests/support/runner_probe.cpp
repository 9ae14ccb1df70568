// runner_probe SHELL LIMIT SCRIPT: runs SCRIPT through the engine's command runner
// with SHELL standing in for PowerShell, and prints the outcome as one JSON line:
// {"ok":bool,"output":text|null,"message":text|null,"detail":text|null}.
#include <cstdint>
#include <string>

#include "core/protocol_event.h"
#include "system/command_runner.h"
#include "platform/system.h"

int wmain(int argc, wchar_t**) {
  const auto arguments = yoxa::platform::command_line_arguments(argc, nullptr);
  if (arguments.size() != 3) return 99;
  yoxa::platform::prepare_standard_streams();

  const yoxa::platform::ShellCommand shell{arguments[0], {"-NoProfile"}};
  const auto limit = static_cast<std::uint32_t>(std::stoul(arguments[1]));
  const auto result = yoxa::run_shell_script(shell, arguments[2], limit);

  yoxa::Json line = {{"ok", result.has_value()}, {"output", nullptr}, {"message", nullptr}, {"detail", nullptr}};
  if (result) {
    line["output"] = *result;
  } else {
    line["message"] = result.error().message();
    line["detail"] = result.error().detail();
  }
  yoxa::platform::write_standard_output(yoxa::to_wire(line) + "\n");
  return 0;
}
