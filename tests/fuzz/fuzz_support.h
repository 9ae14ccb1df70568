#pragma once
// Shared by the libFuzzer targets: input cut into pieces, and quiet standard output
// (the engine emits events there; libFuzzer reports on standard error).
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace yoxa::fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The input split at each NUL: several strings from one input.
inline std::vector<std::string> pieces(std::string_view text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (true) {
    const auto end = text.find('\0', start);
    out.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return out;
    start = end + 1;
  }
}

inline void silence_standard_output() {
  const int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0) ::dup2(null, STDOUT_FILENO);
}

}  // namespace yoxa::fuzz
