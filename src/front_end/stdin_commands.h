#pragma once
#include <string>
#include <string_view>

namespace yoxa {

// Starts the detached thread that reads the launcher's commands from standard input
// during a run. A whole-run cancel deletes the quit file; nothing else has an effect.
void start_stdin_commands(const std::string& quit_file);

// One line as read (its line feed already gone). False when reading must stop: the
// line is not valid UTF-8.
bool handle_stdin_line(std::string_view line, const std::string& quit_file);

}  // namespace yoxa
