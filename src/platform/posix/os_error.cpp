#include "platform/os_error.h"

#include <cerrno>
#include <cstring>

#include "core/text.h"

namespace yoxa::platform {

bool OsError::access_denied() const { return code == EPERM || code == EACCES; }

std::string error_code_text(const std::error_code& error) {
  return format("{} (os error {})", std::strerror(error.value()), error.value());
}

}  // namespace yoxa::platform
