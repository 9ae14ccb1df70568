#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "core/line_reader.h"

namespace yoxa {

// Launcher commands are one short JSON object a line; anything longer is dropped.
inline constexpr std::size_t kMaxStdinLine = 64 * 1024;

// The process's standard input as a byte source.
std::unique_ptr<ByteSource> standard_input_source();

// Reads the launcher's commands on a thread of its own during a run. A whole-run
// cancel deletes the quit file; nothing else has an effect. The reading thread owns
// its reader, so exit never frees what a blocked read is using; once this object is
// gone the thread acts on no further line and touches nothing shared.
class StdinCommands {
 public:
  StdinCommands(std::unique_ptr<ByteSource> source, std::string quit_file);
  ~StdinCommands();
  StdinCommands(const StdinCommands&) = delete;
  StdinCommands& operator=(const StdinCommands&) = delete;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

// One line as read (its line feed already gone). False when reading must stop: the
// line is not valid UTF-8.
bool handle_stdin_line(std::string_view line, const std::string& quit_file);
// The same for a line that was too long to keep.
void handle_overlong_stdin_line();

}  // namespace yoxa
