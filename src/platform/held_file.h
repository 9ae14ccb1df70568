#pragma once
// A file held open so that nobody can change, rename or delete it while the engine
// checks it and its installer reads it.
#include <cstdio>
#include <expected>
#include <memory>
#include <string>

#include "platform/os_error.h"

namespace yoxa::platform {

class HeldFile {
 public:
  // Windows: GENERIC_READ with FILE_SHARE_READ only, so every later open for writing or
  // deleting fails with a sharing violation while readers still get in. A link in place
  // of the file is refused. POSIX stand-in: an open descriptor (no share modes there).
  static std::expected<HeldFile, OsError> open(const std::string& path);

  HeldFile(HeldFile&&) noexcept;
  HeldFile& operator=(HeldFile&&) noexcept;
  ~HeldFile();

  struct Handle;

 private:
  explicit HeldFile(std::unique_ptr<Handle> handle);
  std::unique_ptr<Handle> handle_;
};
// Opens a file for binary reading so that nobody can write, rename or delete it while
// this stream is open (Windows: CreateFileW with FILE_SHARE_READ only). What is checked
// through the stream stays what is later read through it. Null with errno set on failure.
// POSIX stand-in: an ordinary read-only open, which cannot deny anything.
std::FILE* open_file_denying_writes(const std::string& utf8_path);

}  // namespace yoxa::platform
