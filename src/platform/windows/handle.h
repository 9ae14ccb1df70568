#pragma once
#include <mutex>
#include <utility>

#include "platform/windows/win.h"

namespace yoxa::platform::win {

// The one owner of a Win32 handle or resource. `Traits` names the raw type, its
// "no resource" value, what counts as valid and how to release it, so each kind
// (kernel handles with NULL, file handles with INVALID_HANDLE_VALUE, registry keys,
// WinHTTP handles...) is its own type and cannot be released the wrong way.
template <class Traits>
class Unique {
 public:
  using Raw = typename Traits::Raw;

  Unique() = default;
  explicit Unique(Raw raw) : raw_(raw) {}
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;
  Unique(Unique&& other) noexcept : raw_(other.release()) {}
  Unique& operator=(Unique&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~Unique() { reset(); }

  Raw get() const { return raw_; }
  // For functions that return the resource through a pointer.
  Raw* out() {
    reset();
    return &raw_;
  }
  explicit operator bool() const { return Traits::valid(raw_); }
  Raw release() { return std::exchange(raw_, Traits::none()); }
  void reset(Raw raw = Traits::none()) {
    if (Traits::valid(raw_)) Traits::close(raw_);
    raw_ = raw;
  }

 private:
  Raw raw_ = Traits::none();
};

// Processes, threads, events, mutexes: NULL means none. Some APIs still hand back
// INVALID_HANDLE_VALUE on failure, so neither is ever closed.
struct KernelHandleTraits {
  using Raw = HANDLE;
  static Raw none() { return nullptr; }
  static bool valid(Raw raw) { return raw != nullptr && raw != INVALID_HANDLE_VALUE; }
  static void close(Raw raw) { CloseHandle(raw); }
};
// Files and pipes from CreateFileW / CreateNamedPipeW: INVALID_HANDLE_VALUE means none.
struct FileHandleTraits {
  using Raw = HANDLE;
  static Raw none() { return INVALID_HANDLE_VALUE; }
  static bool valid(Raw raw) { return raw != nullptr && raw != INVALID_HANDLE_VALUE; }
  static void close(Raw raw) { CloseHandle(raw); }
};
struct RegistryKeyTraits {
  using Raw = HKEY;
  static Raw none() { return nullptr; }
  static bool valid(Raw raw) { return raw != nullptr; }
  static void close(Raw raw) { RegCloseKey(raw); }
};
// Buffers the system allocates for us (FormatMessageW and friends).
struct LocalMemoryTraits {
  using Raw = HLOCAL;
  static Raw none() { return nullptr; }
  static bool valid(Raw raw) { return raw != nullptr; }
  static void close(Raw raw) { LocalFree(raw); }
};

using UniqueHandle = Unique<KernelHandleTraits>;
using UniqueFileHandle = Unique<FileHandleTraits>;
using UniqueKey = Unique<RegistryKeyTraits>;
using UniqueLocal = Unique<LocalMemoryTraits>;

// Held by every CreateProcessW that lets the child inherit handles, from the
// creation of the inheritable handles until they are closed, so no child inherits
// another spawn's handles.
std::mutex& spawn_mutex();

}  // namespace yoxa::platform::win
