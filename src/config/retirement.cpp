#include "config/retirement.h"

namespace yoxa {

// Neither the expiry check nor the source-unavailable probe exists in this build
// yet, so no installer is ever reported retired.
std::optional<Retirement> current_retirement() { return std::nullopt; }

}  // namespace yoxa
