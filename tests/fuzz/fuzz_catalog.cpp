// The app catalog document.
#include "front_end/catalog.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)yoxa::parse_catalog(yoxa::fuzz::as_text(data, size));
  return 0;
}
