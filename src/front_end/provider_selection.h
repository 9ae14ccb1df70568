#pragma once
#include <memory>

#include "acquisition/package_provider.h"

namespace yoxa {

// The package source of an install run: an offline source when the engine carries
// one, else the CDN.
std::unique_ptr<PackageProvider> select_provider();

// The offline source alone; none means online mode.
std::unique_ptr<PackageProvider> offline_provider();

}  // namespace yoxa
