#include "platform/held_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace yoxa::platform {

struct HeldFile::Handle {
  int fd = -1;
  ~Handle() {
    if (fd >= 0) ::close(fd);
  }
};

std::expected<HeldFile, OsError> HeldFile::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    return std::unexpected(OsError{static_cast<std::uint32_t>(code), std::strerror(code)});
  }
  auto handle = std::make_unique<Handle>();
  handle->fd = fd;
  return HeldFile(std::move(handle));
}

HeldFile::HeldFile(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
HeldFile::HeldFile(HeldFile&&) noexcept = default;
HeldFile& HeldFile::operator=(HeldFile&&) noexcept = default;
HeldFile::~HeldFile() = default;

std::FILE* open_file_denying_writes(const std::string& utf8_path) { return std::fopen(utf8_path.c_str(), "rb"); }

}  // namespace yoxa::platform
