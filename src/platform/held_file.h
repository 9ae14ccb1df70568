#pragma once
// A file held open so that nobody can change, rename or delete it while the engine
// checks it and its installer reads it.
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

}  // namespace yoxa::platform
