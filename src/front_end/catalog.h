#pragma once
#include <vector>

#include "core/app_table.h"

namespace yoxa {
// The apps this build offers: the app table minus the configuration's exclusions.
std::vector<const AppDescriptor*> catalog_apps();
}  // namespace yoxa
