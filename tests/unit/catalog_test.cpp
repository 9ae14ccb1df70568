#include <gtest/gtest.h>

#include "front_end/catalog.h"

namespace yoxa {
namespace {

TEST(Catalog, EmbeddedDocumentCoversEveryApp) {
  const auto& entries = catalog_info();
  for (const auto& app : app_table()) {
    const auto it = entries.find(std::string(app.id));
    ASSERT_NE(it, entries.end()) << app.id;
    EXPECT_EQ(it->second.display_name, app.display_name);
    EXPECT_EQ(it->second.description_code, "app." + std::string(app.id) + ".desc");
    EXPECT_TRUE(it->second.web_url.has_value());
  }
}

TEST(Catalog, EntriesToleratePartsMissingOrMistyped) {
  const auto entries = parse_catalog(R"({"apps": [
    {"id": "quill", "displayName": "Old"},
    {"id": 7, "displayName": "skipped"},
    {"id": "quill", "descriptionCode": 3, "webUrl": "https://q.example/"},
    {"displayName": "no id"}
  ]})");
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 1u);
  const CatalogInfo& quill = entries->at("quill");
  EXPECT_FALSE(quill.display_name.has_value());  // the later entry replaced the earlier one
  EXPECT_EQ(quill.description_code, "");
  EXPECT_EQ(quill.web_url, "https://q.example/");
  EXPECT_FALSE(parse_catalog("{broken").has_value());
}

}  // namespace
}  // namespace yoxa
