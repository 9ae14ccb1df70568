// The worker's event stream as the run process reads it: split into lines, each relayed.
#include "front_end/event_pipe.h"
#include "front_end/relay.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  yoxa::fuzz::silence_standard_output();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text = yoxa::fuzz::as_text(data, size);
  const std::size_t step = text.empty() ? 1 : 1 + static_cast<unsigned char>(text[0]) % 97;
  std::vector<yoxa::AppResult> results;
  const auto relay = [&](std::string_view line) { yoxa::relay_line(line, results); };
  yoxa::EventLineSplitter splitter;
  bool going = true;
  for (std::size_t at = 0; going && at < text.size(); at += step) going = splitter.feed(text.substr(at, step), relay);
  if (going) splitter.finish(relay);
  return 0;
}
