#include "platform/held_file.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>

#include "platform/windows/handle.h"
#include "platform/windows/win.h"

namespace yoxa::platform {

struct HeldFile::Handle {
  win::UniqueFileHandle file;
};

std::expected<HeldFile, OsError> HeldFile::open(const std::string& path) {
  // Opened on the entry itself: a planted link is seen, not followed.
  win::UniqueFileHandle file(CreateFileW(win::wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return std::unexpected(win::last_error());
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
    return std::unexpected(win::last_error());
  }
  if ((tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return std::unexpected(OsError{ERROR_CANT_ACCESS_FILE, win::error_text(ERROR_CANT_ACCESS_FILE)});
  }
  return HeldFile(std::make_unique<Handle>(Handle{std::move(file)}));
}

HeldFile::HeldFile(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
HeldFile::HeldFile(HeldFile&&) noexcept = default;
HeldFile& HeldFile::operator=(HeldFile&&) noexcept = default;
HeldFile::~HeldFile() = default;

std::FILE* open_file_denying_writes(const std::string& utf8_path) {
  // Share read only: no writer, no rename, no delete while it is open.
  win::UniqueFileHandle file(CreateFileW(win::wide(utf8_path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    errno = EACCES;
    return nullptr;
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_RDONLY | _O_BINARY);
  if (descriptor == -1) return nullptr;
  (void)file.release();  // the descriptor owns the handle now
  std::FILE* stream = _fdopen(descriptor, "rb");
  if (!stream) _close(descriptor);
  return stream;
}

}  // namespace yoxa::platform
