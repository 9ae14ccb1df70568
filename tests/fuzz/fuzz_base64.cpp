// Unpadded base64, with the decode/encode round trip as a property.
#include <cstdlib>

#include "core/base64.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = yoxa::fuzz::as_text(data, size);
  if (const auto decoded = yoxa::base64_decode_unpadded(text)) {
    if (yoxa::base64_encode_unpadded(*decoded) != text) std::abort();
  }
  const std::string encoded = yoxa::base64_encode_unpadded(text);
  const auto back = yoxa::base64_decode_unpadded(encoded);
  if (!back || *back != text) std::abort();
  return 0;
}
