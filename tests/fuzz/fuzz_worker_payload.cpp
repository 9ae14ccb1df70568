// The worker's command-line payload: base64 wrapper, then the JSONRUN document or a silent payload.
#include "front_end/worker_payload.h"
#include "fuzz_support.h"
#include "silent/silent_payload.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = yoxa::fuzz::as_text(data, size);
  const std::string decoded = yoxa::decode_worker_payload(text);
  if (decoded.starts_with("JSONRUN:")) (void)yoxa::parse_json_run_payload(std::string_view(decoded).substr(8));
  (void)yoxa::parse_json_run_payload(text);
  // A silent payload that parses survives its own encoding unchanged.
  for (const std::string_view candidate : {std::string_view(decoded), text}) {
    const auto silent = yoxa::parse_silent_payload(candidate);
    if (!silent) continue;
    const auto again = yoxa::parse_silent_payload(yoxa::encode_silent_payload(*silent));
    if (!again || again->mode != silent->mode || again->apps != silent->apps ||
        again->log_directory != silent->log_directory || again->scope != silent->scope) {
      __builtin_trap();
    }
  }
  return 0;
}
