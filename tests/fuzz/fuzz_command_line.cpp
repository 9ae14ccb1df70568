// The Windows command-line split, and quoting followed by splitting as a round trip.
#include <cstdlib>

#include "core/windows_command_line.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = yoxa::fuzz::as_text(data, size);
  (void)yoxa::split_windows_command_line(text);
  // NUL cannot be in an argument: it separates the arguments of the round trip.
  const std::vector<std::string> arguments = yoxa::fuzz::pieces(text);
  const auto split = yoxa::split_windows_command_line(yoxa::build_windows_command_line("program", arguments));
  std::vector<std::string> expected{"program"};
  expected.insert(expected.end(), arguments.begin(), arguments.end());
  if (split != expected) std::abort();
  return 0;
}
