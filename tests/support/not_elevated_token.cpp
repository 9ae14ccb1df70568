// The token query of the engine's unelevated test variant: Wine runs every process
// elevated, so the UAC path can only be shown by a build that believes otherwise.
#include "platform/security.h"

namespace yoxa::platform {

bool is_elevated() { return false; }

}  // namespace yoxa::platform
