#include "platform/held_file.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>

#include "platform/windows/handle.h"
#include "platform/windows/win.h"

namespace yoxa::platform {

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
