#include "platform/os_error.h"

#include <cstring>

#include "core/text.h"
#include "platform/windows/win.h"

namespace yoxa::platform {

bool OsError::access_denied() const { return code == ERROR_ACCESS_DENIED; }

std::string error_code_text(const std::error_code& error) {
  // The runtime reports Windows failures in the system category with their Windows code.
  if (error.category() == std::system_category()) return win::error_text(static_cast<DWORD>(error.value()));
  return format("{} (os error {})", std::strerror(error.value()), error.value());
}

}  // namespace yoxa::platform
