#pragma once
// Shared by the POSIX stand-ins: one owner per file descriptor, and errno as an OsError.
#include <unistd.h>

#include <cstring>
#include <utility>

#include "platform/os_error.h"

namespace yoxa::platform::posix {

inline OsError errno_error(int code) {
  return OsError{static_cast<std::uint32_t>(code), std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")"};
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

}  // namespace yoxa::platform::posix
