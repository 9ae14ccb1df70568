#include "platform/security.h"

#include <unistd.h>

namespace yoxa::platform {

bool is_elevated() { return ::geteuid() == 0; }

}  // namespace yoxa::platform
