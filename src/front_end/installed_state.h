#pragma once
#include <optional>
#include <string>
#include <vector>

#include "core/app_table.h"
#include "core/protocol_event.h"
#include "system/detection.h"

namespace yoxa {

// What the launcher is told about one app's installation.
struct InstalledState {
  std::optional<std::string> version;
  std::optional<std::string> path;
  const char* source = nullptr;  // "msix" or "msi" when installed
};

// Detects every app at once, one thread per distinct app; one state per app given, in order.
std::vector<InstalledState> detect_installed(const DetectionContext& ctx, const std::vector<const AppDescriptor*>& apps,
                                             bool registry_only);

// Adds installedVersion, source and installedPath to a per-app object.
void put_installed_state(Json& object, const InstalledState& state);

}  // namespace yoxa
