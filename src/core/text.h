#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace yoxa {

namespace detail {
inline std::string to_text(std::string_view s) { return std::string(s); }
inline std::string to_text(const char* s) { return s; }
inline std::string to_text(const std::string& s) { return s; }
inline std::string to_text(char c) { return std::string(1, c); }
inline std::string to_text(bool b) { return b ? "true" : "false"; }
template <class T>
  requires std::is_integral_v<T>
std::string to_text(T v) { return std::to_string(v); }
void format_into(std::string& out, std::string_view pattern, const std::string* args, std::size_t count);
}  // namespace detail

// Fills each "{}" of the pattern with the next argument, in order (GCC 12 has no <format>).
template <class... Args>
std::string format(std::string_view pattern, const Args&... args) {
  const std::string texts[] = {std::string(), detail::to_text(args)...};
  std::string out;
  detail::format_into(out, pattern, texts + 1, sizeof...(Args));
  return out;
}

// Unicode White_Space at both ends of UTF-8 text.
std::string_view trim(std::string_view text);
std::string ascii_lower(std::string_view text);
bool starts_with(std::string_view text, std::string_view prefix);
std::vector<std::string> split(std::string_view text, char separator);
// Splits at `separator`, trims each piece and drops the empty ones.
std::vector<std::string> split_trimmed(std::string_view text, char separator);
std::string join(const std::vector<std::string>& parts, std::string_view separator);
// The runs of UTF-8 text between Unicode White_Space, none of them empty.
std::vector<std::string> split_white_space(std::string_view text);

bool is_valid_utf8(std::string_view bytes);
// Decodes bytes as UTF-8, replacing each invalid sequence with U+FFFD.
std::string utf8_lossy(std::string_view bytes);
// A value from outside, fit for one log or terminal line: valid UTF-8, control
// characters as \xNN, C1 controls as \u00NN.
std::string printable(std::string_view text);
std::u16string utf8_to_utf16(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view utf16);
// The code point starting at utf16[i], advancing i past a surrogate pair; a lone
// surrogate reads as U+FFFD.
char32_t next_code_point(std::u16string_view utf16, std::size_t& i);

}  // namespace yoxa
