#include "platform/file_links.h"

#include <filesystem>
#include <system_error>

namespace yoxa::platform {

std::expected<bool, OsError> is_reparse_point(const std::string& utf8_path) {
  std::error_code error;
  const auto status = std::filesystem::symlink_status(utf8_path, error);
  if (error) return std::unexpected(OsError{static_cast<std::uint32_t>(error.value()), error_code_text(error)});
  return std::filesystem::is_symlink(status);
}

}  // namespace yoxa::platform
