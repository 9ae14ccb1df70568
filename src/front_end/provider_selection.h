#pragma once
#include <memory>
#include <optional>

#include "acquisition/package_provider.h"
#include "config/offline_source.h"

namespace yoxa {

// The provider over a detected offline source.
std::unique_ptr<PackageProvider> make_offline_provider(OfflineSource source, PackageHost host = {});

// The package source of an install run: an offline source when the engine carries
// one, else the CDN. The choice is logged.
std::unique_ptr<PackageProvider> select_provider();

// The offline source alone; none means online mode. Detected afresh on every call,
// from the same detection as select_provider and the offline expiry date.
std::unique_ptr<PackageProvider> offline_provider();

}  // namespace yoxa
