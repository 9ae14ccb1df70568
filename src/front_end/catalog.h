#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/app_table.h"

namespace yoxa {

// The apps this build offers: the app table minus the configuration's exclusions.
std::vector<const AppDescriptor*> catalog_apps();

// Display texts of one app from the embedded cross-platform catalog.
struct CatalogInfo {
  std::optional<std::string> display_name;
  std::string description_code;
  std::optional<std::string> web_url;
};

// Parses a catalog document into entries by id; none when it does not parse.
std::optional<std::map<std::string, CatalogInfo>> parse_catalog(std::string_view text);
// The embedded catalog, parsed once per process (empty, and logged once, if broken).
const std::map<std::string, CatalogInfo>& catalog_info();

}  // namespace yoxa
