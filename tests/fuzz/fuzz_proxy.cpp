// The system proxy text, and the host check every request built with it goes through.
#include "acquisition/http_request.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = yoxa::fuzz::as_text(data, size);
  if (const auto address = yoxa::parse_proxy_server(text)) {
    (void)yoxa::build_request("https://cdn.example/", 10, yoxa::SystemProxy{address->first, address->second, true, ""});
  }
  (void)yoxa::build_request("https://cdn.example/", 10, yoxa::SystemProxy{std::string(text), 8080, true, ""});
  return 0;
}
