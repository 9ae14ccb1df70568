#pragma once
#include <array>
#include <cstddef>
#include <string>

namespace yoxa {

// A build constant kept in the executable with every byte offset, so program paths
// do not stand in the binary as plain text; restored at run time.
inline constexpr unsigned char kScrambleOffset = 0x5A;

template <std::size_t N>
struct Scrambled {
  std::array<unsigned char, N - 1> bytes{};
  consteval Scrambled(const char (&text)[N]) {  // NOLINT: implicit by design
    for (std::size_t i = 0; i + 1 < N; ++i) {
      bytes[i] = static_cast<unsigned char>(static_cast<unsigned char>(text[i]) + kScrambleOffset);
    }
  }
  std::string reveal() const {
    std::string out(bytes.size(), '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      out[i] = static_cast<char>(static_cast<unsigned char>(bytes[i] - kScrambleOffset));
    }
    return out;
  }
};

}  // namespace yoxa
