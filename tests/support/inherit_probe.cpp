// inherit_probe INSTALLER HELD_FILE LOG_DIR: plays a run process between two apps. It
// holds HELD_FILE open for writing as the download-ahead holds the next app's package,
// runs the EXE installation of INSTALLER with the real visible-process seam, then closes
// the file, renames it to HELD_FILE.staged as the staging step does, and prints one JSON
// line {"status":..., "rename": null | error} and a "done" line on its standard output.
// Whatever the installer leaves running must hold neither that file nor this output.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/paths.h"
#include "core/protocol_event.h"
#include "install/install_exe.h"
#include "platform/system.h"

int wmain(int argc, wchar_t**) {
  const auto arguments = yoxa::platform::command_line_arguments(argc, nullptr);
  if (arguments.size() != 3) return 99;
  yoxa::platform::prepare_standard_streams();

  std::FILE* held = yoxa::platform::open_file(arguments[1], "wb");
  if (!held) return 98;
  std::fputs("partial package", held);
  std::fflush(held);

  auto [sink, receiver] = yoxa::make_event_channel();
  const auto outcome = yoxa::install_exe(sink, "notes", arguments[2], arguments[0], false);
  std::fclose(held);

  std::error_code error;
  const auto from = yoxa::path_from_utf8(arguments[1]);
  std::filesystem::rename(from, yoxa::path_from_utf8(arguments[1] + ".staged"), error);

  yoxa::Json line = {{"status", outcome ? std::string("succeeded") : outcome.error().detail()}, {"rename", nullptr}};
  if (error) line["rename"] = error.message();
  yoxa::platform::write_standard_output(yoxa::to_wire(line) + "\n{\"type\":\"done\"}\n");
  return 0;
}
