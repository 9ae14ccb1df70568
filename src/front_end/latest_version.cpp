#include "front_end/latest_version.h"

#include "core/error.h"
#include "core/messages.h"
#include "core/text.h"
#include "system/logger.h"

namespace yoxa {

// This build fetches no package metadata yet, so every lookup fails the way an
// unreachable server does.
LatestInfo lookup_latest_version(const AppDescriptor& app) {
  const Error error(msg::kCouldNotContactServer, "package metadata lookups are not built into this engine", 1501);
  log::warn(format("{}: latest-version fetch failed: {}", app.id, error.full_text()));
  return LatestInfo{};
}

}  // namespace yoxa
