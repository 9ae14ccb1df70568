#include "script_match.h"

namespace standin {

// Reads a single-quoted PowerShell string body starting at `pos`: a doubled quote
// (also the typographic ones PowerShell treats as quotes) stands for itself.
std::optional<std::string> quoted_value(std::string_view script, std::size_t& pos) {
  static constexpr std::string_view kQuotes[] = {"'", "\u2018", "\u2019", "\u201A", "\u201B"};
  std::string value;
  while (pos < script.size()) {
    bool handled = false;
    for (const auto quote : kQuotes) {
      if (script.substr(pos).starts_with(quote)) {
        if (script.substr(pos + quote.size()).starts_with(quote)) {
          value += quote;
          pos += quote.size() * 2;
          handled = true;
          break;
        }
        if (quote == "'") return value;  // the closing quote, left for the template to match
        return std::nullopt;             // a lone typographic quote would end the string too
      }
    }
    if (!handled) value += script[pos++];
  }
  return std::nullopt;
}

// Matches `script` against a template whose "{}" places each stand for one quoted
// value. The values in order, or none when the script differs.
std::optional<std::vector<std::string>> match_values(std::string_view script, std::string_view pattern) {
  std::vector<std::string> values;
  std::size_t s = 0;
  std::size_t p = 0;
  while (p < pattern.size()) {
    if (pattern.substr(p).starts_with("{}")) {
      auto here = quoted_value(script, s);
      if (!here) return std::nullopt;
      values.push_back(std::move(*here));
      p += 2;
      continue;
    }
    if (s >= script.size() || script[s] != pattern[p]) return std::nullopt;
    ++s;
    ++p;
  }
  if (s != script.size()) return std::nullopt;
  return values;
}

// The same for templates whose places all hold one value.
std::optional<std::string> match_template(std::string_view script, std::string_view pattern) {
  auto values = match_values(script, pattern);
  if (!values || values->empty()) return std::nullopt;
  for (const auto& value : *values) {
    if (value != values->front()) return std::nullopt;
  }
  return values->front();
}

}  // namespace standin
