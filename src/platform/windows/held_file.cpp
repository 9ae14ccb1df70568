#include "platform/held_file.h"

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

}  // namespace yoxa::platform
