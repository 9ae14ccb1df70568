#include <gtest/gtest.h>

#include "acquisition/package_meta.h"

namespace yoxa {
namespace {

TEST(PackageMeta, FullDocument) {
  const auto meta = parse_package_meta(R"({
    "product": "Yoxa Quill", "version": "4.2.1", "destination": "quill-4.2.1.msi", "size": 18446744073709551615,
    "checksum": "AB12", "sha256": "CD34", "checksumAlgorithm": "SHA256",
    "alternateDownloadUrl": "https://mirror.example/q.msi", "flavour": "default", "os": "windows", "arch": "x64",
    "format": "msi", "release": "latest", "mode": "online", "notes": ["ignored"], "extra": {"x": 1},
    "dependencies": [
      {"identity": "Yoxa.Runtime", "token": "rt", "arch": "x64", "kind": "chainedInstaller", "minVersion": "1.0",
       "version": "1.2", "destination": "rt.exe", "size": 12, "checksum": "EF", "checksumAlgorithm": "sha256",
       "installArgs": "/quiet", "other": true},
      {"identity": null, "size": null}
    ]
  }  )" "\n\t");
  ASSERT_TRUE(meta) << meta.error();
  EXPECT_EQ(meta->product, "Yoxa Quill");
  EXPECT_EQ(meta->version, "4.2.1");
  EXPECT_EQ(meta->destination, "quill-4.2.1.msi");
  EXPECT_EQ(meta->size, 18446744073709551615ull);
  EXPECT_EQ(meta->checksum, "AB12");
  EXPECT_EQ(meta->sha256, "CD34");
  EXPECT_EQ(meta->checksum_algorithm, "SHA256");
  EXPECT_EQ(meta->alternate_download_url, "https://mirror.example/q.msi");
  EXPECT_EQ(meta->mode, "online");
  ASSERT_EQ(meta->dependencies.size(), 2u);
  const MetaDependency& runtime = meta->dependencies[0];
  EXPECT_EQ(runtime.identity, "Yoxa.Runtime");
  EXPECT_EQ(runtime.kind, "chainedInstaller");
  EXPECT_EQ(runtime.min_version, "1.0");
  EXPECT_EQ(runtime.size, 12u);
  EXPECT_EQ(runtime.checksum_algorithm, "sha256");
  EXPECT_EQ(runtime.install_args, "/quiet");
  EXPECT_FALSE(meta->dependencies[1].identity);
  EXPECT_FALSE(meta->dependencies[1].size);
}

TEST(PackageMeta, AbsentNullAndEmptyMembers) {
  const auto empty = parse_package_meta("{}");
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->version);
  EXPECT_FALSE(empty->size);
  EXPECT_TRUE(empty->dependencies.empty());

  const auto nulls = parse_package_meta(
      R"({"product": null, "version": null, "size": null, "checksum": null, "alternateDownloadUrl": null})");
  ASSERT_TRUE(nulls);
  EXPECT_FALSE(nulls->product);
  EXPECT_FALSE(nulls->size);

  // Empty version, destination and alternate URL count as absent; an empty checksum stays a declared value.
  const auto blanks = parse_package_meta(
      R"({"version": "", "destination": "", "alternateDownloadUrl": "", "checksum": "", "product": ""})");
  ASSERT_TRUE(blanks);
  EXPECT_FALSE(blanks->version);
  EXPECT_FALSE(blanks->destination);
  EXPECT_FALSE(blanks->alternate_download_url);
  EXPECT_EQ(blanks->checksum, "");
  EXPECT_EQ(blanks->product, "");
}

TEST(PackageMeta, UnparseableDocuments) {
  const char* cases[] = {
      "",
      "   ",
      "[]",
      "null",
      R"("text")",
      R"({"version": "1.0"} x)",
      R"({"version": "1.0"}{})",
      R"({"version": "1.0",})",
      R"({"version": "1.0", "version": "1.1"})",
      R"({"dependencies": [{"identity": "a", "identity": "b"}]})",
      R"({"extra": {"k": 1, "k": 2}})",
      R"({"dependencies": null})",
      R"({"dependencies": {}})",
      R"({"dependencies": ["a"]})",
      R"({"dependencies": [{"size": "12"}]})",
      R"({"size": -1})",
      R"({"size": "1024"})",
      R"({"size": 1.5})",
      R"({"size": 1e3})",
      R"({"size": 18446744073709551616})",
      R"({"version": 4})",
      R"({"destination": true})",
      R"({"checksum": ["ab"]})",
      R"({"mode": {}})",
      "{\"product\": \"\xFF\"}",
      R"({"version": "1.0")",
  };
  for (const char* text : cases) {
    const auto meta = parse_package_meta(text);
    EXPECT_FALSE(meta) << text;
    if (!meta) {
      EXPECT_FALSE(meta.error().empty()) << text;
    }
  }
  EXPECT_NE(parse_package_meta(R"({"version": "1", "version": "2"})").error().find("version"), std::string::npos);
}

TEST(PackageMeta, DuplicateNamesInSiblingObjectsAreFine) {
  const auto meta = parse_package_meta(
      R"({"dependencies": [{"identity": "a", "size": 1}, {"identity": "b", "size": 2}], "x": {"identity": 1}})");
  ASSERT_TRUE(meta) << meta.error();
  EXPECT_EQ(meta->dependencies.size(), 2u);
}

TEST(PackageMeta, ReleaseNotes) {
  const auto notes = parse_release_notes(R"({"product": "Yoxa Quill", "version": null, "releases": [
      {"version": "4.2", "date": "2026-01-05", "notes": ["Faster start", "Fixes"]},
      {"version": "4.1", "date": null, "notes": []}], "other": 1})");
  ASSERT_TRUE(notes) << notes.error();
  EXPECT_EQ(notes->product, "Yoxa Quill");
  EXPECT_FALSE(notes->version);
  ASSERT_EQ(notes->releases.size(), 2u);
  EXPECT_EQ(notes->releases[0].version, "4.2");
  EXPECT_EQ(notes->releases[0].date, "2026-01-05");
  EXPECT_EQ(notes->releases[0].notes, (std::vector<std::string>{"Faster start", "Fixes"}));
  EXPECT_FALSE(notes->releases[1].date);

  const std::pair<const char*, const char*> broken[] = {
      {"{}", "missing field `releases`"},
      {R"({"releases": null})", "releases"},
      {R"({"releases": [{"version": "1"}]})", "missing field `notes`"},
      {R"({"releases": [{"notes": []}]})", "missing field `version`"},
      {R"({"releases": [{"version": null, "notes": []}]})", "version"},
      {R"({"releases": [{"version": "1", "notes": null}]})", "notes"},
      {R"({"releases": [{"version": "1", "notes": [3]}]})", "notes"},
      {R"({"releases": [{"version": "1", "notes": [], "notes": []}]})", "duplicate"},
      {R"({"releases": []} [])", "parse"},
  };
  for (const auto& [text, mention] : broken) {
    const auto parsed = parse_release_notes(text);
    ASSERT_FALSE(parsed) << text;
    EXPECT_NE(parsed.error().find(mention), std::string::npos) << text << " -> " << parsed.error();
  }
}

TEST(PackageMeta, ManifestOfApps) {
  const auto manifest = parse_package_meta_map(R"({"quill": {"version": "1.0", "size": 5}, "folio": {}})");
  ASSERT_TRUE(manifest) << manifest.error();
  EXPECT_EQ(manifest->at("quill").size, 5u);
  EXPECT_FALSE(manifest->at("folio").version);
  EXPECT_FALSE(parse_package_meta_map(R"({"quill": {"size": "5"}})"));
  EXPECT_FALSE(parse_package_meta_map(R"({"quill": {}, "quill": {}})"));
  EXPECT_FALSE(parse_package_meta_map("[]"));
}

}  // namespace
}  // namespace yoxa
