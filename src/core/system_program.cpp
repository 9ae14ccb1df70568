#include "core/system_program.h"

namespace yoxa {

namespace {
bool is_separator(char c) { return c == '\\' || c == '/'; }

// "X:\..." or a "\\server\share\..." path; nothing relative to a current drive or directory.
bool is_absolute(std::string_view path) {
  const bool drive = path.size() >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                     path[1] == ':' && is_separator(path[2]);
  const bool share = path.size() >= 3 && is_separator(path[0]) && is_separator(path[1]) && !is_separator(path[2]);
  return drive || share;
}
}  // namespace

std::string system_program_path(std::string_view directory, std::string_view relative) {
  if (!is_absolute(directory) || relative.empty()) return {};
  std::string path(directory);
  if (!is_separator(path.back())) path += '\\';
  path += relative;
  return path;
}

}  // namespace yoxa
