// URLs and hosts: the https host, trust by suffix, address literals.
#include "acquisition/url_trust.h"
#include "core/url.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> parts = yoxa::fuzz::pieces(yoxa::fuzz::as_text(data, size));
  const std::string& url = parts.front();
  (void)yoxa::https_host(url);
  (void)yoxa::is_ipv6_address(url);
  (void)yoxa::is_ipv4_dotted(url);
  (void)yoxa::is_odd_numeric_host(url);
  const std::vector<std::string> suffixes(parts.begin() + 1, parts.end());
  (void)yoxa::is_trusted_url(url, "download", suffixes);
  return 0;
}
