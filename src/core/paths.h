#pragma once
#include <filesystem>
#include <string>
#include <string_view>

namespace yoxa {
// UTF-8 text <-> filesystem paths, so Windows paths keep every character.
inline std::filesystem::path path_from_utf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string path_to_utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}
}  // namespace yoxa
