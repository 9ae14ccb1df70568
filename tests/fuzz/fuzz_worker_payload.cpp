// The worker's command-line payload: base64 wrapper, then the JSONRUN document.
#include "front_end/worker_payload.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = yoxa::fuzz::as_text(data, size);
  const std::string decoded = yoxa::decode_worker_payload(text);
  if (decoded.starts_with("JSONRUN:")) (void)yoxa::parse_json_run_payload(std::string_view(decoded).substr(8));
  (void)yoxa::parse_json_run_payload(text);
  return 0;
}
