#pragma once
// Where an app is installed, asked before a run decides whether it needs elevation.
#include <cstdint>
#include <string_view>

#include "core/app_table.h"
#include "system/installed_apps.h"

namespace yoxa {

// Apps packaged as msix or msixbundle.
bool is_msix_app(const AppDescriptor& app);

enum class PrecheckAnswer : std::uint8_t { PerUser, MachineWide, Absent };
std::string_view precheck_text(PrecheckAnswer answer);

PrecheckAnswer uninstall_precheck(const InstalledApps& installed, const AppDescriptor& app);

}  // namespace yoxa
