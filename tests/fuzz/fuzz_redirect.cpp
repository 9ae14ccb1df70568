// A Location value resolved against the URL that sent it.
#include "core/url.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = yoxa::fuzz::as_text(data, size);
  const auto nul = text.find('\0');
  const std::string base(text.substr(0, nul));
  const std::string reference(nul == std::string_view::npos ? std::string_view() : text.substr(nul + 1));
  (void)yoxa::split_url(text);
  (void)yoxa::remove_dot_segments(text);
  (void)yoxa::resolve_reference(base, reference);
  return 0;
}
