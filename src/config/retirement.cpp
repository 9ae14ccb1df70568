#include "config/retirement.h"

#include "config/expiry.h"

namespace yoxa {

// No offline package source is built into this engine yet.
bool offline_mode() { return false; }

// The source-unavailable verdict needs the download-page probe, which this build
// does not carry yet; until then only the expiry dates retire an installer.
std::optional<Retirement> current_retirement() { return check_expiry(); }

}  // namespace yoxa
