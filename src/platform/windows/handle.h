#pragma once
#include <mutex>
#include <utility>

#include "platform/windows/win.h"

namespace yoxa::platform::win {

// One owner per OS handle. Kernel objects use NULL as "no handle", file-like
// handles INVALID_HANDLE_VALUE; keeping them apart stops the classic mix-up.
template <HANDLE (*Invalid)()>
class BasicHandle {
 public:
  BasicHandle() = default;
  explicit BasicHandle(HANDLE handle) : handle_(handle) {}
  BasicHandle(const BasicHandle&) = delete;
  BasicHandle& operator=(const BasicHandle&) = delete;
  BasicHandle(BasicHandle&& other) noexcept : handle_(other.release()) {}
  BasicHandle& operator=(BasicHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~BasicHandle() { reset(); }

  HANDLE get() const { return handle_; }
  HANDLE* out() {
    reset();
    return &handle_;
  }
  explicit operator bool() const { return handle_ != Invalid() && handle_ != nullptr; }
  HANDLE release() { return std::exchange(handle_, Invalid()); }
  void reset(HANDLE handle = Invalid()) {
    if (handle_ != Invalid() && handle_ != nullptr) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = Invalid();
};

inline HANDLE null_handle() { return nullptr; }
inline HANDLE invalid_handle() { return INVALID_HANDLE_VALUE; }

using UniqueHandle = BasicHandle<null_handle>;          // processes, threads, events, mutexes
using UniqueFileHandle = BasicHandle<invalid_handle>;   // files, pipes from CreateFileW

// Held by every CreateProcessW that lets the child inherit handles, from the
// creation of the inheritable handles until they are closed, so no child inherits
// another spawn's handles.
std::mutex& spawn_mutex();

}  // namespace yoxa::platform::win
