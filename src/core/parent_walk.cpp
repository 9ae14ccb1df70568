#include "core/parent_walk.h"

#include <filesystem>

#include "core/paths.h"

namespace yoxa {

namespace {
constexpr bool is_separator(char c) {
  return c == '/' || (std::filesystem::path::preferred_separator == '\\' && c == '\\');
}

// UTF-16 units a UTF-8 byte adds: one per lead byte, two for a four-byte sequence.
std::size_t units_of(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if ((byte & 0xC0) == 0x80) return 0;
  return byte >= 0xF0 ? 2 : 1;
}

// Bytes of the root ("/", "C:\", "\\server\share\") at the front of `path`.
std::size_t root_length(const std::string& path) {
  const std::filesystem::path parsed = path_from_utf8(path);
  std::size_t length = path_to_utf8(parsed.root_name()).size();
  if (parsed.has_root_directory()) {
    while (length < path.size() && is_separator(path[length])) ++length;
  }
  return length;
}
}  // namespace

bool walk_up_parents(std::string path, const std::function<bool(const std::string&)>& visit) {
  const std::size_t root = root_length(path);
  std::size_t units = 0;
  for (const char c : path) units += units_of(c);
  while (true) {
    if (units <= kLongestPathUnits && visit(path)) return true;
    if (path.size() <= root) return false;
    // Drop the last name, then the separators before it, but never the root.
    std::size_t end = path.size();
    while (end > root && !is_separator(path[end - 1])) units -= units_of(path[--end]);
    while (end > root && is_separator(path[end - 1])) units -= units_of(path[--end]);
    if (end == 0) return false;
    path.resize(end);
  }
}

}  // namespace yoxa
