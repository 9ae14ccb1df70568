#pragma once
#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/app_table.h"

namespace yoxa {

// A selection may name an app many times; its work is done once per app and handed
// back to every place that named it. At most one entry per catalog app, so the
// work's threads are bounded by the catalog, not by the command line.
struct DistinctApps {
  std::vector<const AppDescriptor*> apps;  // in order of first mention
  std::vector<std::size_t> slot;           // for each requested app, its index in `apps`
};

inline DistinctApps distinct_apps(const std::vector<const AppDescriptor*>& requested) {
  DistinctApps distinct;
  distinct.slot.reserve(requested.size());
  for (const AppDescriptor* app : requested) {
    const auto found = std::ranges::find(distinct.apps, app);
    distinct.slot.push_back(static_cast<std::size_t>(found - distinct.apps.begin()));
    if (found == distinct.apps.end()) distinct.apps.push_back(app);
  }
  return distinct;
}

// The per-app answers spread back over the requested order.
template <class T>
std::vector<T> per_request(const DistinctApps& distinct, const std::vector<T>& answers) {
  std::vector<T> spread;
  spread.reserve(distinct.slot.size());
  for (const std::size_t i : distinct.slot) spread.push_back(answers[i]);
  return spread;
}

}  // namespace yoxa
