// The installer configuration document.
#include "config/installer_config.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)yoxa::parse_installer_config(yoxa::fuzz::as_text(data, size));
  return 0;
}
