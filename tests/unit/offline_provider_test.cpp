#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "acquisition/bundled_dependencies.h"
#include "acquisition/directory_provider.h"
#include "acquisition/sfx_provider.h"
#include "core/messages.h"
#include "log_capture.h"
#include "offline_bundle.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

namespace fs = std::filesystem;
using testing::lay_out;
using testing::logged_by;
using testing::write_bytes;

const std::string kQuill = "quill package bytes";
const std::string kGoodDigest = "C0FFEE";

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

const AppDescriptor& row(std::string_view id) { return *app_by_id(id); }

class OfflineProviderTest : public ::testing::Test {
 protected:
  OfflineProviderTest() {
    auto [sink, receiver] = make_event_channel();
    sink_.emplace(std::move(sink));
    receiver_.emplace(std::move(receiver));
  }

  PackageHost host() {
    PackageHost made;
    made.staging_paths = [](const std::string& base, const std::string& version, const std::string& format)
        -> Result<StagingPaths> {
      const fs::path dir = fs::path(base) / "installer";
      fs::create_directories(dir);
      const std::string name = "installer-v" + version + "." + format;
      return StagingPaths{(dir / name).string(), (dir / (name + ".tmp")).string()};
    };
    // Stands in for SHA-256: only the quill bytes match the good digest.
    made.verify_checksum = [this](const std::string& path, const std::string& expected) -> Result<void> {
      checked_.push_back(expected);
      if (read_file(path) == kQuill && expected == kGoodDigest) return {};
      return fail(msg::kVerificationFailed, "checksum mismatch in test", 9999);
    };
    made.privileged = [this] { return privileged_; };
    // Stands in for the suite's signer: a package is signed when its bytes say so.
    made.verify_signed = [this](const std::string& path, const std::optional<std::string>& expected) -> Result<void> {
      signed_checks_.push_back(expected.value_or("(none)"));
      if (!read_file(path).starts_with("signed")) {
        return fail(msg::kVerificationFailed, "Signature verification failed: in test", 9998);
      }
      if (expected && *expected != kGoodDigest) return fail(msg::kVerificationFailed, "checksum mismatch in test", 9999);
      return {};
    };
    made.verify_image = [this](std::FILE* file, const std::string& path) -> Result<void> {
      ++image_checks_;
      EXPECT_NE(file, nullptr);
      EXPECT_EQ(path, exe_.string());
      if (image_signed_) return {};
      return fail(msg::kVerificationFailed, "Signature verification failed: image in test", 9997);
    };
    return made;
  }

  SfxPackageProvider sfx(const std::string& manifest, std::string quill = kQuill) {
    auto layout = lay_out("MZ", {quill, "", "", "", manifest});
    write_bytes(exe_, layout.bytes + encode_trailer(layout.segments));
    return SfxPackageProvider(SfxPayloads{exe_.string(), layout.segments, 0, false, manifest, nullptr}, host());
  }

  FetchOutcome fetch(const PackageProvider& provider, std::string_view id, CancelToken cancel = {}) {
    return provider.fetch(row(id), staging_.string(), *sink_, cancel);
  }

  testing::TempDir dir_;
  fs::path exe_ = dir_.path() / "YoxaOfficeInstaller.exe";
  fs::path staging_ = dir_.path() / "staging";
  std::vector<std::string> checked_;
  bool privileged_ = false;
  bool image_signed_ = true;
  int image_checks_ = 0;
  std::vector<std::string> signed_checks_;
  std::optional<EventSink> sink_;
  std::optional<EventReceiver> receiver_;
};

TEST_F(OfflineProviderTest, SfxExtractsAndVerifiesThePackage) {
  const auto provider = sfx(R"({"quill": {"version": "2.1.0", "size": 19, "sha256": "C0FFEE"}})");
  FetchOutcome staged;
  const std::string log = logged_by([&] { staged = fetch(provider, "quill"); });
  ASSERT_TRUE(staged && *staged);
  EXPECT_EQ(read_file(**staged), kQuill);
  EXPECT_EQ(fs::path(**staged).filename(), "installer-voffline.msi");
  EXPECT_EQ(checked_, std::vector<std::string>{kGoodDigest});
  EXPECT_NE(log.find("Yoxa Quill: staged embedded package -> " + **staged), std::string::npos);
  EXPECT_EQ(provider.bundled_version("quill"), "2.1.0");
  EXPECT_EQ(provider.bundled_size("quill"), 19u);
  EXPECT_EQ(provider.bundled_version("abacus"), std::nullopt);
  EXPECT_TRUE(provider.preflight());
  EXPECT_EQ(provider.app_list().size(), app_table().size());
}

TEST_F(OfflineProviderTest, ManifestRulesDecideTheOutcome) {
  struct Case {
    const char* name;
    std::string manifest;
    std::string package;
    std::optional<ErrorKind> error;  // none: staged
    const char* log;
  };
  const Case cases[] = {
      {"empty manifest", "{}", "anything", std::nullopt, "no embedded SHA-256; relying on the installer's Authenticode"},
      {"not JSON", "not json", "anything", std::nullopt, "SfxPackageProvider: embedded manifest is missing/empty"},
      {"no digest", R"({"quill": {"version": "1"}})", "anything", std::nullopt, "no embedded SHA-256"},
      {"wrong digest", R"({"quill": {"sha256": "BAD"}})", kQuill, ErrorKind::VerifyFailed, ""},
      {"uncomputable", R"({"quill": {"checksum": "ab", "checksumAlgorithm": "md5"}})", kQuill, ErrorKind::VerifyFailed,
       ""},
      {"package shorter than the manifest says", R"({"quill": {"size": 20, "sha256": "C0FFEE"}})", kQuill,
       ErrorKind::VerifyFailed, ""},
      {"short package, no digest", R"({"quill": {"size": 500}})", kQuill, ErrorKind::VerifyFailed, ""},
      // One malformed entry leaves the others in force: quill's digest is still checked.
      {"another app's entry malformed", R"({"folio": {"size": "big"}, "quill": {"sha256": "BAD"}})", kQuill,
       ErrorKind::VerifyFailed, "offline manifest entry folio is malformed and ignored"},
      {"another app's entry not an object", R"({"abacus": 7, "quill": {"sha256": "C0FFEE"}})", kQuill, std::nullopt,
       "offline manifest entry abacus is malformed and ignored"},
      {"quill's own entry malformed", R"({"quill": {"version": 2}, "folio": {"version": "1"}})", "anything",
       std::nullopt, "no embedded SHA-256"},
  };
  for (const auto& c : cases) {
    FetchOutcome staged;
    const std::string log = logged_by([&] {
      const auto provider = sfx(c.manifest, c.package);
      staged = fetch(provider, "quill");
    });
    if (c.error) {
      ASSERT_FALSE(staged) << c.name;
      EXPECT_EQ(code_for_error(staged.error()), *c.error) << c.name;
    } else {
      ASSERT_TRUE(staged && *staged) << c.name;
    }
    EXPECT_NE(log.find(c.log), std::string::npos) << c.name << ": " << log;
  }
}

TEST_F(OfflineProviderTest, SfxFailuresNameTheCause) {
  auto layout = lay_out("MZ", {kQuill, "x", "y", "z", "{}"});
  write_bytes(exe_, layout.bytes);
  // Fewer segments than the app table: a bundle without an entry for the later apps.
  auto few = layout.segments;
  few.resize(2);
  const SfxPackageProvider short_table(SfxPayloads{exe_.string(), few, 0, false, "{}", nullptr}, host());
  auto missing = fetch(short_table, "lumen");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "SFX trailer has no entry for app 'lumen'");
  EXPECT_EQ(code_for_error(missing.error()), ErrorKind::Unknown);
  // An empty segment leaves the app out instead of staging an empty file.
  const auto quill_only = sfx("{}");
  auto left_out = fetch(quill_only, "abacus");
  ASSERT_FALSE(left_out);
  EXPECT_EQ(left_out.error().message(), "SFX trailer has no entry for app 'abacus'");

  // The file shrank after detection: the copy stops at its end instead of hanging.
  auto beyond = layout.segments;
  beyond[0].length = 1'000'000;
  const SfxPackageProvider truncated(SfxPayloads{exe_.string(), beyond, 0, false, "{}", nullptr}, host());
  auto cut = fetch(truncated, "quill");
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().message(), msg::kExtractFailed);
  EXPECT_EQ(cut.error().detail(), "short read extracting bundle segment");

  const SfxPackageProvider gone(SfxPayloads{(dir_.path() / "gone.exe").string(), layout.segments, 0, false, "{}", nullptr},
                                host());
  auto unreadable = fetch(gone, "quill");
  ASSERT_FALSE(unreadable);
  EXPECT_EQ(unreadable.error().message(), msg::kExtractFailed);
}

TEST_F(OfflineProviderTest, CancelDuringExtractionFinishesTheCopyThenStops) {
  const auto provider = sfx("{}");
  int asked = 0;
  // Still running before the copy, cancelled by the time it is done.
  auto outcome = fetch(provider, "quill", CancelToken::from([&] { return ++asked > 1; }));
  ASSERT_TRUE(outcome);
  EXPECT_FALSE(*outcome);
  EXPECT_EQ(read_file(staging_ / "installer" / "installer-voffline.msi"), kQuill);
}

TEST_F(OfflineProviderTest, DirectoryProviderFindsStagesAndRefuses) {
  const fs::path packages = dir_.path() / "packages";
  fs::create_directories(packages);
  write_bytes(packages / "abacus.msix", "abacus");
  write_bytes(packages / "Quill-Setup.MSI", kQuill);

  // No packages.json: looked up as "{id}.{format}", staged without a checksum.
  std::optional<DirectoryAppProvider> bare;
  const std::string log = logged_by([&] { bare.emplace(packages.string(), host()); });
  EXPECT_NE(log.find("DirectoryAppProvider: packages.json missing/empty at " + packages.string()), std::string::npos);
  auto abacus = fetch(*bare, "abacus");
  ASSERT_TRUE(abacus && *abacus);
  EXPECT_EQ(read_file(**abacus), "abacus");
  auto quill = fetch(*bare, "quill");
  ASSERT_FALSE(quill);
  EXPECT_EQ(quill.error().message(), "bundled package not found: " + (packages / "quill.msi").string());

  write_bytes(packages / "packages.json", R"({"quill": {"destination": "Quill-Setup.MSI", "version": "3.0",
      "sha256": "C0FFEE"}, "folio": {"destination": "../../outside.msi"}, "lumen": {"destination": "C:x.msi"}})");
  write_bytes(dir_.path() / "outside.msi", "outside");
  const DirectoryAppProvider described(packages.string(), host());
  auto named = fetch(described, "quill");
  ASSERT_TRUE(named && *named);
  EXPECT_EQ(read_file(**named), kQuill);
  EXPECT_EQ(described.bundled_version("quill"), "3.0");
  for (const char* id : {"folio", "lumen"}) {
    auto escaped = fetch(described, id);
    ASSERT_FALSE(escaped) << id;
    EXPECT_TRUE(escaped.error().message().starts_with("bundled package not found: ")) << id;
  }
}

// An elevated run does not take an offline package on a checksum from the place it came
// from: a packages directory or an external bundle needs the suite's signature on each
// package, the engine's own payloads the engine's signature.
TEST_F(OfflineProviderTest, PrivilegedRunsNeedTheSuitesSignature) {
  privileged_ = true;
  const fs::path packages = dir_.path() / "packages";
  fs::create_directories(packages);
  write_bytes(packages / "quill.msi", "unsigned quill");
  write_bytes(packages / "abacus.msix", "signed abacus");
  const DirectoryAppProvider directory(packages.string(), host());
  auto unsigned_quill = fetch(directory, "quill");
  ASSERT_FALSE(unsigned_quill);
  EXPECT_EQ(code_for_error(unsigned_quill.error()), ErrorKind::VerifyFailed);
  auto signed_abacus = fetch(directory, "abacus");
  EXPECT_TRUE(signed_abacus && *signed_abacus);
  EXPECT_EQ(signed_checks_, (std::vector<std::string>{"(none)", "(none)"}));
  EXPECT_TRUE(checked_.empty()) << "the checksum alone is not enough";

  // The manifest's digest is still checked, after the signer.
  signed_checks_.clear();
  write_bytes(packages / "packages.json", R"({"abacus": {"sha256": "BAD"}})");
  const DirectoryAppProvider described(packages.string(), host());
  EXPECT_FALSE(fetch(described, "abacus"));
  EXPECT_EQ(signed_checks_, std::vector<std::string>{"BAD"});

  // An external bundle: every package on its own.
  signed_checks_.clear();
  auto layout = lay_out("bundle", {"", "", "unsigned quill", "", "", "", "{}"});
  write_bytes(dir_.path() / "offline.bundle", layout.bytes);
  const SfxPackageProvider bundle(
      SfxPayloads{(dir_.path() / "offline.bundle").string(), layout.segments, 2, true, "{}", nullptr}, host());
  auto from_bundle = fetch(bundle, "quill");
  ASSERT_FALSE(from_bundle);
  EXPECT_EQ(code_for_error(from_bundle.error()), ErrorKind::VerifyFailed);
  EXPECT_EQ(signed_checks_, std::vector<std::string>{"(none)"});
  EXPECT_EQ(image_checks_, 0);
}

TEST_F(OfflineProviderTest, PrivilegedRunsTakeEmbeddedPayloadsOnTheImagesSignatureCheckedOnce) {
  privileged_ = true;
  const std::string manifest = R"({"quill": {"sha256": "C0FFEE"}})";
  auto layout = lay_out("MZ", {kQuill, "abacus bytes", "", "", manifest});
  write_bytes(exe_, layout.bytes + encode_trailer(layout.segments));
  for (const bool image_signed : {true, false}) {
    SCOPED_TRACE(image_signed ? "signed image" : "unsigned image");
    image_signed_ = image_signed;
    image_checks_ = 0;
    checked_.clear();
    auto payloads = find_sfx_payloads(exe_.string());
    ASSERT_TRUE(payloads && payloads->held_image);
    const SfxPackageProvider provider(std::move(*payloads), host());
    auto quill = fetch(provider, "quill");
    auto abacus = fetch(provider, "abacus");
    EXPECT_EQ(image_checks_, 1);
    EXPECT_TRUE(signed_checks_.empty()) << "the payloads themselves need no signature";
    EXPECT_EQ(quill.has_value(), image_signed);
    EXPECT_EQ(abacus.has_value(), image_signed);
    if (image_signed) {
      EXPECT_EQ(checked_, std::vector<std::string>{kGoodDigest}) << "the manifest's digest still applies";
    } else {
      EXPECT_EQ(code_for_error(quill.error()), ErrorKind::VerifyFailed);
      EXPECT_TRUE(checked_.empty());
    }
  }

  // Payloads not read through a held image cannot be vouched for by its signature.
  const SfxPackageProvider unheld(SfxPayloads{exe_.string(), layout.segments, 0, false, manifest, nullptr}, host());
  auto refused = fetch(unheld, "quill");
  ASSERT_FALSE(refused);
  EXPECT_EQ(code_for_error(refused.error()), ErrorKind::VerifyFailed);
}

// The payloads are read through the handle the trailer was found through: a file put in the
// image's place afterwards is not what gets extracted.
TEST_F(OfflineProviderTest, EmbeddedPayloadsComeFromTheHeldImage) {
  auto layout = lay_out("MZ", {kQuill, "", "", "", "{}"});
  write_bytes(exe_, layout.bytes + encode_trailer(layout.segments));
  auto payloads = find_sfx_payloads(exe_.string());
  ASSERT_TRUE(payloads && payloads->held_image);
  fs::remove(exe_);
  auto swapped = lay_out("MZ", {std::string(kQuill.size(), 'X'), "", "", "", "{}"});
  write_bytes(exe_, swapped.bytes + encode_trailer(swapped.segments));
  const SfxPackageProvider provider(std::move(*payloads), host());
  auto staged = fetch(provider, "quill");
  ASSERT_TRUE(staged && *staged);
  EXPECT_EQ(read_file(**staged), kQuill);
}

TEST(BundledDependencies, WritesCarriedFrameworksForMsixAppsOnly) {
  testing::TempDir dir;
  static constexpr unsigned char kPayload[] = {'f', 'w'};
  const BundledFramework table[] = {
      {"Yoxa.Runtime", "runtime.appx", "14.0", "", false, kPayload},
      {"Yoxa.Chained", "chained.exe", "", "/quiet", true, kPayload},
      {"Yoxa.Absent", "absent.appx", "", "", false, {}},
  };
  const std::string staging = (dir.path() / "deps").string();
  auto none = prepare_bundled_dependencies(row("quill"), staging, table);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->frameworks.empty() && none->chained_installers.empty());

  auto prepared = prepare_bundled_dependencies(row("abacus"), staging, table);
  ASSERT_TRUE(prepared);
  ASSERT_EQ(prepared->frameworks.size(), 1u);
  EXPECT_EQ(prepared->frameworks[0].package_name, "Yoxa.Runtime");
  EXPECT_EQ(read_file(prepared->frameworks[0].path), "fw");
  ASSERT_EQ(prepared->chained_installers.size(), 1u);
  EXPECT_EQ(prepared->chained_installers[0].arguments, "/quiet");
  EXPECT_FALSE(fs::exists(dir.path() / "deps" / "absent.appx"));

  auto built_in = prepare_bundled_dependencies(row("abacus"), staging);
  ASSERT_TRUE(built_in);
  EXPECT_TRUE(built_in->frameworks.empty());
}

TEST(BundledDependencies, ReportsAStagingFolderItCannotMakeWithTheSystemsError) {
  testing::TempDir dir;
  std::ofstream(dir.path() / "taken") << "a file where the folder should go";
  const auto refused = prepare_bundled_dependencies(row("abacus"), (dir.path() / "taken" / "deps").string());
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().detail().find("(os error ") != std::string::npos) << refused.error().detail();
}

}  // namespace
}  // namespace yoxa
