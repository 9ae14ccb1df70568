#include "platform/security.h"

#include <unistd.h>

namespace yoxa::platform {

bool is_elevated() { return ::geteuid() == 0; }

// The stand-in has no service account to run as.
bool is_local_system() { return false; }

}  // namespace yoxa::platform
