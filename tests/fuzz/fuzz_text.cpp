// Text helpers fed outside bytes: UTF-8/UTF-16 conversion (round trip of valid text as
// a property), printable forms, upper-casing, version comparison and GUID unpacking.
#include <cstdlib>

#include "core/text.h"
#include "core/unicode_case.h"
#include "fuzz_support.h"
#include "system/detection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = yoxa::fuzz::as_text(data, size);
  const std::string lossy = yoxa::utf8_lossy(text);
  if (!yoxa::is_valid_utf8(lossy)) std::abort();
  if (yoxa::is_valid_utf8(text) && yoxa::utf16_to_utf8(yoxa::utf8_to_utf16(text)) != text) std::abort();
  const std::u16string wide(reinterpret_cast<const char16_t*>(data), size / 2);
  if (!yoxa::is_valid_utf8(yoxa::utf16_to_utf8(wide))) std::abort();
  if (!yoxa::is_valid_utf8(yoxa::printable(text))) std::abort();
  (void)yoxa::unicode_upper(lossy);
  (void)yoxa::trim(text);
  (void)yoxa::split_trimmed(text, ',');
  const auto nul = text.find('\0');
  if (nul != std::string_view::npos) (void)yoxa::compare_versions(text.substr(0, nul), text.substr(nul + 1));
  (void)yoxa::compare_versions(text, text);
  (void)yoxa::unpack_guid(text);
  return 0;
}
