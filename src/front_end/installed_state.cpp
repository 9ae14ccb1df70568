#include "front_end/installed_state.h"

#include <thread>

#include "front_end/distinct_apps.h"

namespace yoxa {

std::vector<InstalledState> detect_installed(const DetectionContext& ctx, const std::vector<const AppDescriptor*>& apps,
                                             bool registry_only) {
  const DistinctApps distinct = distinct_apps(apps);
  std::vector<InstalledState> states(distinct.apps.size());
  std::vector<std::jthread> workers;
  workers.reserve(distinct.apps.size());
  for (std::size_t i = 0; i < distinct.apps.size(); ++i) {
    workers.emplace_back([&ctx, &states, app = distinct.apps[i], i, registry_only] {
      InstalledState& state = states[i];
      state.version = installed_version_quick(ctx, *app, registry_only);
      if (!state.version) return;
      state.source = app->installer_kind == InstallerKind::Msix ? "msix" : "msi";
      state.path = installed_path(ctx, *app);
    });
  }
  workers.clear();  // joins every detection before the states are handed over
  return per_request(distinct, states);
}

void put_installed_state(Json& object, const InstalledState& state) {
  object["installedVersion"] = state.version ? Json(*state.version) : Json(nullptr);
  object["source"] = state.source ? Json(state.source) : Json(nullptr);
  object["installedPath"] = state.path ? Json(*state.path) : Json(nullptr);
}

}  // namespace yoxa
