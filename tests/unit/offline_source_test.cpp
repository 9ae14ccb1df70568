#include "config/offline_source.h"

#include <gtest/gtest.h>

#include "core/paths.h"
#include "fake_directory_trust.h"
#include "log_capture.h"
#include "offline_bundle.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

namespace fs = std::filesystem;
using testing::lay_out;
using testing::logged_by;
using testing::write_bytes;

const std::string kManifest = R"({"quill": {"version": "2.0.0"}})";

class OfflineSourceTest : public ::testing::Test {
 protected:
  OfflineSourceTest() { fs::create_directories(bin_); }
  std::string exe() const { return (bin_ / "YoxaOfficeInstaller.exe").string(); }
  // The engine executable with quill and the manifest in its trailer.
  std::vector<PayloadSegment> write_sfx(std::string tail = "") {
    auto layout = lay_out("MZ engine code", {"QUILL", "", "", "", kManifest});
    write_bytes(exe(), layout.bytes + encode_trailer(layout.segments) + tail);
    return layout.segments;
  }
  std::string write_bundle(const std::string& name, const std::vector<std::string>& parts) {
    auto layout = lay_out("bundle", parts);
    const fs::path path = dir_.path() / name;
    write_bytes(path, layout.bytes + encode_footer(layout.segments));
    write_bytes(bin_ / "bundle_source.txt", "  " + path.string() + "\r\n");
    return path.string();
  }

  testing::TempDir dir_;
  fs::path bin_ = dir_.path() / "app" / "bin";
};

TEST_F(OfflineSourceTest, EmbeddedTrailerIsFoundWithItsManifest) {
  const auto segments = write_sfx(std::string(3, '\0'));
  const auto found = find_sfx_payloads(exe());
  ASSERT_TRUE(found);
  EXPECT_EQ(found->source_path, exe());
  EXPECT_EQ(found->segments, segments);
  EXPECT_EQ(found->base_index, 0u);
  EXPECT_FALSE(found->external);
  EXPECT_EQ(found->manifest_text, kManifest);
}

TEST_F(OfflineSourceTest, HostileTrailersAreIgnoredAndRunGoesOnline) {
  struct Case {
    const char* name;
    std::vector<PayloadSegment> segments;
    const char* warning;
  };
  write_bytes(exe(), std::string(100, 'x'));
  const std::uint64_t size = 100 + kTrailerSize;
  const Case cases[] = {
      {"segment one byte past the end", {{0, 10}, {10, 10}, {20, size - 19}, {}, {0, 2}}, "claims segments outside"},
      {"overflowing segment", {{0, 10}, {~0ull, 2}, {}, {}, {0, 2}}, "claims segments outside"},
      {"overlapping segments", {{0, 10}, {5, 10}, {}, {}, {20, 2}}, "overlapping segments"},
  };
  for (const auto& c : cases) {
    write_bytes(exe(), std::string(100, 'x') + encode_trailer(c.segments));
    std::optional<OfflineSource> found;
    const std::string log = logged_by([&] { found = find_offline_source(exe()); });
    EXPECT_FALSE(found) << c.name;
    EXPECT_NE(log.find(c.warning), std::string::npos) << c.name << ": " << log;
  }
}

TEST_F(OfflineSourceTest, ExternalBundleComesFirst) {
  write_sfx();
  const std::string bundle = write_bundle("suite.bundle", {"s0", "s1", "Q", "A", "L", "F", kManifest});
  const auto found = find_sfx_payloads(exe());
  ASSERT_TRUE(found);
  EXPECT_EQ(found->source_path, bundle);
  EXPECT_TRUE(found->external);
  EXPECT_EQ(found->base_index, 2u);
  EXPECT_EQ(found->segments.size(), 7u);
  EXPECT_EQ(found->manifest_text, kManifest);
}

TEST_F(OfflineSourceTest, UnusableBundlesFallBackToTheTrailer) {
  write_sfx();
  // A missing file, six segments, an empty bundle_source.txt: the trailer answers.
  write_bytes(bin_ / "bundle_source.txt", (dir_.path() / "missing.bundle").string());
  EXPECT_FALSE(find_sfx_payloads(exe())->external);
  write_bundle("six.bundle", {"a", "b", "c", "d", "e", kManifest});
  EXPECT_FALSE(find_sfx_payloads(exe())->external);
  write_bytes(bin_ / "bundle_source.txt", " \n");
  EXPECT_FALSE(find_sfx_payloads(exe())->external);

  // A footer whose segment leaves the file is ignored with a warning.
  const fs::path bad = dir_.path() / "bad.bundle";
  std::vector<PayloadSegment> outside(7, PayloadSegment{0, 1});
  outside[3] = {0, 10'000};
  write_bytes(bad, "x" + encode_footer(outside));
  write_bytes(bin_ / "bundle_source.txt", bad.string());
  std::optional<SfxPayloads> found;
  const std::string log = logged_by([&] { found = find_sfx_payloads(exe()); });
  ASSERT_TRUE(found);
  EXPECT_FALSE(found->external);
  EXPECT_NE(log.find("bundle footer in " + bad.string() + " claims segments outside the file; ignoring it"),
            std::string::npos);
}

TEST_F(OfflineSourceTest, PackagesDirectoryNeedsAPackageFile) {
  write_bytes(exe(), "MZ plain engine");
  const fs::path beside = bin_ / "packages";
  const fs::path above = bin_.parent_path() / "packages";
  fs::create_directories(beside);
  fs::create_directories(above);
  write_bytes(beside / "readme.txt", "text only");
  EXPECT_FALSE(find_packages_dir(exe()));
  EXPECT_FALSE(find_offline_source(exe()));

  write_bytes(above / "QUILL.MSI", "package");
  EXPECT_EQ(find_packages_dir(exe()), above.string());
  write_bytes(beside / "abacus.msix", "package");
  EXPECT_EQ(find_packages_dir(exe()), beside.string());
  const auto source = find_offline_source(exe());
  ASSERT_TRUE(source);
  EXPECT_EQ(std::get<PackagesDirectory>(*source).path, beside.string());

  // Payloads in the executable win over a packages directory.
  write_sfx();
  EXPECT_TRUE(std::holds_alternative<SfxPayloads>(*find_offline_source(exe())));
}

// A directory listing can hand back names with no Unicode form (a lone surrogate on
// Windows, stray bytes here): they are no package, and looking at them never throws.
TEST_F(OfflineSourceTest, NamesWithoutAUnicodeFormAreSkippedNotFatal) {
  const struct {
    std::string name;
    std::optional<std::string> text;
  } cases[] = {
      {"quill.msi", "quill.msi"},
      {"Jos\xc3\xa9.msi", "Jos\xc3\xa9.msi"},
      {"bad\xff.msi", std::nullopt},
      {"x.ms\xc3", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(path_to_utf8_checked(fs::path(c.name)), c.text) << c.name;

  write_bytes(exe(), "MZ plain engine");
  const fs::path beside = bin_ / "packages";
  fs::create_directories(beside);
  write_bytes(beside / "x.ms\xc3", "not ours");
  EXPECT_FALSE(find_packages_dir(exe()));
  write_bytes(beside / "bad\xff.msi", "a package all the same");
  EXPECT_EQ(find_packages_dir(exe()), beside.string());
}

TEST_F(OfflineSourceTest, NothingFoundForMissingOrTinyExecutables) {
  EXPECT_FALSE(find_offline_source(exe()));
  EXPECT_FALSE(find_offline_source(""));
  write_bytes(exe(), std::string(kTrailerMagic));
  EXPECT_FALSE(find_offline_source(exe()));
}

}  // namespace
}  // namespace yoxa

namespace yoxa {
namespace {

// An elevated run ignores an offline source folder a standard user could have made or
// can change; an unelevated one takes it as before.
TEST(OfflineFolderTrust, ElevatedRunsIgnoreFoldersOthersControl) {
  testing::FakeDirectoryTrust trust;
  trust.entries["/deploy/trusted"] = testing::FakeDirectoryTrust::trusted();
  trust.entries["/deploy/link"] = testing::FakeDirectoryTrust::link();
  trust.entries["/deploy/theirs"] = testing::FakeDirectoryTrust::owned_by_user();
  trust.entries["/deploy/shared"] = testing::FakeDirectoryTrust::users_may_write();
  const struct {
    const char* folder;
    bool elevated_usable;
    const char* reason;
  } cases[] = {
      {"/deploy/trusted", true, ""},
      {"/deploy/link", false, "it is a link or reparse point"},
      {"/deploy/theirs", false, "owned by S-1-5-21-1-2-3-1001"},
      {"/deploy/shared", false, "S-1-5-32-545 may change it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    EXPECT_TRUE(offline_folder_usable(c.folder, false, trust));
    bool usable = true;
    const std::string log = testing::logged_by([&] { usable = offline_folder_usable(c.folder, true, trust); });
    EXPECT_EQ(usable, c.elevated_usable);
    if (!c.elevated_usable) {
      EXPECT_NE(log.find(std::string("Ignoring the offline source folder ") + c.folder + " in an elevated run: " +
                         c.reason),
                std::string::npos)
          << log;
    }
  }
}

}  // namespace
}  // namespace yoxa
