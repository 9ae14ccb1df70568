#include "front_end/provider_selection.h"

#include "acquisition/online_provider.h"

namespace yoxa {

// Offline sources (bundles appended to the exe, package folders) plug in here.
std::unique_ptr<PackageProvider> offline_provider() { return nullptr; }

std::unique_ptr<PackageProvider> select_provider() {
  if (auto offline = offline_provider()) return offline;
  return std::make_unique<OnlinePackageProvider>(PackageHost{});
}

}  // namespace yoxa
