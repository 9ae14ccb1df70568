#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/text.h"

namespace yoxa {
// UTF-8 text <-> filesystem paths, so Windows paths keep every character.
inline std::filesystem::path path_from_utf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string path_to_utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}
// The same without throwing: a name the file system allows but Unicode does not (an
// unpaired surrogate from a directory listing) has no UTF-8 form and gives none.
inline std::optional<std::string> path_to_utf8_checked(const std::filesystem::path& path) {
#ifdef _WIN32
  const std::wstring& native = path.native();
  const std::u16string_view units(reinterpret_cast<const char16_t*>(native.data()), native.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      return std::nullopt;
    }
  }
  return utf16_to_utf8(units);
#else
  if (!is_valid_utf8(path.native())) return std::nullopt;
  return path.native();
#endif
}
}  // namespace yoxa
