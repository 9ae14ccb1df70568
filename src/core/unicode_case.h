#pragma once
#include <string>
#include <string_view>

namespace yoxa {

// Full Unicode upper-casing of UTF-8 text, without language-specific rules: every
// code point takes its simple upper-case mapping, or its full one where that is
// longer ("ß" becomes "SS", "ﬀ" becomes "FF"). Invalid UTF-8 becomes U+FFFD.
std::string unicode_upper(std::string_view utf8);

}  // namespace yoxa
