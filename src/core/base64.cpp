#include "core/base64.h"

#include "core/text.h"

#include <array>
#include <cstdint>

namespace yoxa {

namespace {
constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> make_reverse() {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  }
  return table;
}
constexpr auto kReverse = make_reverse();
}  // namespace

std::string base64_encode_unpadded(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() * 4 + 2) / 3);
  std::uint32_t acc = 0;
  int bits = 0;
  for (const char c : bytes) {
    acc = (acc << 8) | static_cast<unsigned char>(c);
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out += kAlphabet[(acc >> bits) & 0x3F];
    }
  }
  if (bits > 0) out += kAlphabet[(acc << (6 - bits)) & 0x3F];
  return out;
}

std::optional<std::string> base64_decode_unpadded(std::string_view text) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::string out;
  out.reserve(text.size() * 3 / 4);
  std::uint32_t acc = 0;
  int bits = 0;
  for (const char c : text) {
    const std::int8_t value = kReverse[static_cast<unsigned char>(c)];
    if (value < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  // Leftover bits must be zero, or the text is not a canonical encoding.
  if ((acc & ((1u << bits) - 1)) != 0) return std::nullopt;
  return out;
}

std::optional<std::string> base64_decode_padded_or_not(std::string_view text) {
  std::string_view value = trim(text);
  for (int i = 0; i < 2 && !value.empty() && value.back() == '='; ++i) value.remove_suffix(1);
  return base64_decode_unpadded(value);
}

}  // namespace yoxa
