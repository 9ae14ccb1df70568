#include "config/retirement.h"

#include "config/expiry.h"
#include "config/source_verdict.h"

namespace yoxa {

// Expiry wins over a source-unavailable finding of this process.
std::optional<Retirement> current_retirement() {
  if (auto expired = check_expiry()) return expired;
  return source_unavailable_verdict();
}

}  // namespace yoxa
