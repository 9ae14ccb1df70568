#include "front_end/catalog.h"

#include "config/installer_config.h"
#include "core/protocol_event.h"
#include "embedded_catalog.h"
#include "core/log.h"

namespace yoxa {

namespace {
std::optional<std::string> string_member(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}
}  // namespace

std::vector<const AppDescriptor*> catalog_apps() { return included_apps(load_installer_config()); }

std::optional<std::map<std::string, CatalogInfo>> parse_catalog(std::string_view text) {
  const Json doc = Json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  std::map<std::string, CatalogInfo> entries;
  const auto apps = doc.find("apps");
  if (apps == doc.end() || !apps->is_array()) return entries;
  for (const Json& app : *apps) {
    if (!app.is_object()) continue;
    const auto id = string_member(app, "id");
    if (!id) continue;
    entries[*id] = CatalogInfo{string_member(app, "displayName"), string_member(app, "descriptionCode").value_or(""),
                               string_member(app, "webUrl")};
  }
  return entries;
}

const std::map<std::string, CatalogInfo>& catalog_info() {
  static const std::map<std::string, CatalogInfo> entries = [] {
    auto parsed = parse_catalog(kEmbeddedCatalog);
    if (!parsed) {
      log::error("protocol/catalog.json failed to parse; displayName/descriptionCode/webUrl will be empty");
      return std::map<std::string, CatalogInfo>{};
    }
    return std::move(*parsed);
  }();
  return entries;
}

}  // namespace yoxa
