#include "front_end/catalog.h"

#include "config/installer_config.h"

namespace yoxa {

std::vector<const AppDescriptor*> catalog_apps() { return included_apps(load_installer_config()); }

}  // namespace yoxa
