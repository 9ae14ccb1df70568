#include "system/own_file.h"

#include <cerrno>
#include <cstdio>

#include "platform/system.h"

namespace yoxa {

namespace {
std::error_code last_errno(int fallback) { return {errno ? errno : fallback, std::generic_category()}; }
}  // namespace

std::error_code write_own_file(const std::string& utf8_path, std::string_view bytes, WriteMode mode) {
  errno = 0;
  std::FILE* file = platform::open_file(utf8_path, mode == WriteMode::Append ? "ab" : "wb");
  if (!file) return last_errno(EIO);
  // An empty view may carry a null pointer, which fwrite must never see.
  const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const std::error_code write_error = written ? std::error_code() : last_errno(EIO);
  if (std::fclose(file) != 0 && !write_error) return last_errno(EIO);
  return write_error;
}

}  // namespace yoxa
