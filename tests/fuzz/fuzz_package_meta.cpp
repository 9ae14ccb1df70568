// meta.json, release notes and the combined metadata map from the CDN.
#include "acquisition/package_meta.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = yoxa::fuzz::as_text(data, size);
  (void)yoxa::parse_strict_json(text);
  (void)yoxa::parse_package_meta(text);
  (void)yoxa::parse_release_notes(text);
  (void)yoxa::parse_package_meta_map(text);
  return 0;
}
