#include "platform/file_links.h"

#include "platform/windows/win.h"

namespace yoxa::platform {

std::expected<bool, OsError> is_reparse_point(const std::string& utf8_path) {
  const DWORD attributes = GetFileAttributesW(win::wide(utf8_path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return std::unexpected(win::last_error());
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace yoxa::platform
