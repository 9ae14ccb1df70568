// The configuration document compiled into this executable. Kept in its own library
// so one engine build can be linked with more than one configuration (test variants).
#include <string_view>

#include "embedded_installer_config.h"

namespace yoxa {
std::string_view embedded_installer_config_text() { return kEmbeddedInstallerConfig; }
}  // namespace yoxa
