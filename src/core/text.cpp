#include "core/text.h"

#include <algorithm>

namespace yoxa {

namespace detail {
void format_into(std::string& out, std::string_view pattern, const std::string* args, std::size_t count) {
  std::size_t next = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '{' && i + 1 < pattern.size() && pattern[i + 1] == '}' && next < count) {
      out += args[next++];
      ++i;
    } else {
      out += pattern[i];
    }
  }
}
}  // namespace detail

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at `pos`; returns false (and advances past the bad
// sequence's maximal prefix, at least one byte) when the bytes are not UTF-8.
bool decode_one(std::string_view s, std::size_t& pos, char32_t& cp) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80) { cp = b0; ++pos; return true; }
  std::size_t len = 0;
  char32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) { len = 2; cp = b0 & 0x1Fu; min = 0x80; }
  else if (b0 >= 0xE0 && b0 <= 0xEF) { len = 3; cp = b0 & 0x0Fu; min = 0x800; }
  else if (b0 >= 0xF0 && b0 <= 0xF4) { len = 4; cp = b0 & 0x07u; min = 0x10000; }
  else { ++pos; return false; }
  std::size_t i = 1;
  for (; i < len; ++i) {
    if (pos + i >= s.size() || (byte(pos + i) & 0xC0) != 0x80) break;
    cp = (cp << 6) | (byte(pos + i) & 0x3Fu);
  }
  if (i < len || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    pos += std::max<std::size_t>(1, i);
    return false;
  }
  pos += len;
  return true;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool is_white_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

}  // namespace

std::string_view trim(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t pos = begin;
    char32_t cp = 0;
    if (!decode_one(text, pos, cp) || !is_white_space(cp)) break;
    begin = pos;
  }
  std::size_t end = begin;
  for (std::size_t pos = begin; pos < text.size();) {
    char32_t cp = 0;
    const bool ok = decode_one(text, pos, cp);
    if (!ok || !is_white_space(cp)) end = pos;
  }
  return text.substr(begin, end - begin);
}

std::vector<std::string> split_white_space(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t start = pos;
    char32_t cp = 0;
    // An undecodable byte is not white space: it stays part of its word.
    if (decode_one(text, pos, cp) && is_white_space(cp)) {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word.append(text.substr(start, pos - start));
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool starts_with(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(separator, start);
    parts.emplace_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

std::vector<std::string> split_trimmed(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  for (const auto& piece : split(text, separator)) {
    const std::string_view trimmed = trim(piece);
    if (!trimmed.empty()) pieces.emplace_back(trimmed);
  }
  return pieces;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t pos = 0; pos < bytes.size();) {
    char32_t cp = 0;
    if (!decode_one(bytes, pos, cp)) return false;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size();) {
    char32_t cp = 0;
    append_utf8(out, decode_one(bytes, pos, cp) ? cp : kReplacement);
  }
  return out;
}

std::u16string utf8_to_utf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) {
    char32_t cp = 0;
    if (!decode_one(utf8, pos, cp)) cp = kReplacement;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

char32_t next_code_point(std::u16string_view utf16, std::size_t& i) {
  const char32_t cp = utf16[i];
  if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
    ++i;
    return 0x10000 + ((cp - 0xD800) << 10) + (utf16[i] - 0xDC00u);
  }
  return cp >= 0xD800 && cp <= 0xDFFF ? kReplacement : cp;
}

std::string utf16_to_utf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) append_utf8(out, next_code_point(utf16, i));
  return out;
}

std::string printable(std::string_view text) {
  const std::string valid = utf8_lossy(text);
  std::string out;
  out.reserve(valid.size());
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < valid.size(); ++i) {
    const auto byte = static_cast<unsigned char>(valid[i]);
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kDigits[byte >> 4];
      out += kDigits[byte & 0xF];
    } else if (byte == 0xC2 && i + 1 < valid.size() && static_cast<unsigned char>(valid[i + 1]) <= 0x9F) {
      // U+0080..U+009F: C1 controls, which terminals obey like ESC sequences.
      const auto code = static_cast<unsigned char>(valid[++i]);
      out += "\\u00";
      out += kDigits[code >> 4];
      out += kDigits[code & 0xF];
    } else {
      out += valid[i];
    }
  }
  return out;
}

}  // namespace yoxa
