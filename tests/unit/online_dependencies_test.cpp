#include "acquisition/online_dependencies.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "core/messages.h"
#include "fake_http.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

namespace fs = std::filesystem;
using testing::FakeHttpClient;
using testing::FakeReply;
using testing::logged_by;

const std::string kDir = "https://dl.yoxa.example/officesuite/apps/default/abacus/windows/x64/msix/latest";

void write_file(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The fake checksum of some bytes: a file verifies when its bytes give the expected value.
std::string digest_of(const std::string& bytes) { return "D" + std::to_string(std::hash<std::string>{}(bytes)); }

MetaDependency dependency(std::string identity, std::string destination, std::string bytes) {
  MetaDependency record;
  record.identity = std::move(identity);
  record.destination = std::move(destination);
  record.min_version = "1.0";
  record.checksum = digest_of(bytes);
  return record;
}

// meta.json of abacus with the given records; framework files served from its CDN directory.
class OnlineDependencies : public ::testing::Test {
 protected:
  OnlineDependencies() {
    write_file(quit_, "");
    auto [sink, receiver] = make_event_channel();
    sink_.emplace(std::move(sink));
    receiver_.emplace(std::move(receiver));
  }

  PackageHost host() {
    PackageHost made;
    made.fetch_metadata = [this](std::string_view app_id) -> Result<MetaLookup> {
      ++meta_calls_;
      EXPECT_EQ(app_id, "abacus");
      if (meta_error_) return std::unexpected(*meta_error_);
      PackageMeta meta;
      meta.version = "4.0";
      meta.dependencies = records_;
      return MetaLookup{meta, kDir};
    };
    made.verify_checksum = [this](const std::string& path, const std::string& expected) -> Result<void> {
      verified_.push_back(fs::path(path).filename().string());
      if (digest_of(read_file(path)) == expected) return {};
      return fail(msg::kVerificationFailed, "checksum mismatch in test", 9999);
    };
    made.trusted_suffixes = [] { return std::vector<std::string>{"yoxa.example"}; };
    made.request_builder = [](const std::string& url, std::uint32_t seconds) {
      return build_request(url, seconds, std::unexpected(std::string("no proxy in tests")));
    };
    made.http_client = [this]() -> platform::HttpClient& { return *client_; };
    made.sleep = [](std::chrono::milliseconds) {};
    made.privileged = [this] { return privileged_; };
    made.missing_frameworks = [this](const std::vector<FrameworkRequest>& requests) {
      asked_.push_back(requests);
      return needed_;
    };
    return made;
  }

  Result<PreparedDependencies> prepare(const char* app = "abacus") {
    Result<PreparedDependencies> result = PreparedDependencies{};
    log_ = logged_by([&] {
      result = prepare_online_dependencies(host(), *app_by_id(app), staging_.string(), *sink_,
                                           CancelToken::quit_file(quit_.string()));
    });
    return result;
  }

  void serve(const std::string& name, const std::string& bytes) {
    client_->on(kDir + "/" + name, FakeReply::ok(bytes).sized());
  }
  std::size_t requests_for(const std::string& name) const {
    std::size_t count = 0;
    for (const auto& request : client_->requests()) count += request.url == kDir + "/" + name ? 1u : 0u;
    return count;
  }
  bool logged(const std::string& line) const { return log_.find(line) != std::string::npos; }
  std::string staged(const std::string& name) const { return (staging_ / "dependencies" / name).string(); }

  testing::TempDir dir_;
  fs::path quit_ = dir_.path() / "run.lock";
  fs::path staging_ = dir_.path() / "base" / "installer";
  std::unique_ptr<FakeHttpClient> client_ = std::make_unique<FakeHttpClient>();
  std::vector<MetaDependency> records_;
  std::vector<std::string> needed_;
  std::optional<Error> meta_error_;
  bool privileged_ = false;
  int meta_calls_ = 0;
  std::vector<std::vector<FrameworkRequest>> asked_;
  std::vector<std::string> verified_;
  std::string log_;
  std::optional<EventSink> sink_;
  std::optional<EventReceiver> receiver_;
};

TEST_F(OnlineDependencies, OnlyMsixAppsAskAndAFailedMetaInstallsWithout) {
  auto quill = prepare("quill");
  ASSERT_TRUE(quill);
  EXPECT_EQ(meta_calls_, 0);

  meta_error_ = Error(msg::kCouldNotContactServer, "timed out", 2303);
  const auto prepared = prepare();
  ASSERT_TRUE(prepared);
  EXPECT_TRUE(prepared->frameworks.empty() && prepared->chained_installers.empty());
  EXPECT_TRUE(logged("Yoxa Abacus: could not fetch meta.json for framework dependencies (" +
                     meta_error_->full_text() + "); installing without them"))
      << log_;
  EXPECT_TRUE(asked_.empty());
}

TEST_F(OnlineDependencies, AnIdentityWithWildcardCharactersIsNeverAskedAbout) {
  // Get-AppxPackage -Name '*' would answer with the highest version of any package.
  for (const char* identity : {"*", "Yoxa.Run?ime", "Yoxa.[R]untime", "Yoxa.`*"}) {
    records_ = {dependency(identity, "wild.appx", "wild bytes"), dependency("Yoxa.Runtime", "runtime.msix", "rt")};
    asked_.clear();
    ASSERT_TRUE(prepare()) << identity;
    ASSERT_EQ(asked_.size(), 1u) << identity;
    ASSERT_EQ(asked_[0].size(), 1u) << identity;
    EXPECT_EQ(asked_[0][0].package_name, "Yoxa.Runtime") << identity;
    EXPECT_TRUE(logged("meta.json dependency identity '" + std::string(identity) + "' holds wildcard characters"))
        << log_;
  }
}

TEST_F(OnlineDependencies, NeededOnesAreDownloadedPresentOnesAreNot) {
  MetaDependency runtime = dependency("Yoxa.Runtime", "runtime.msix", "runtime bytes");
  runtime.checksum_algorithm = "SHA256";  // any letter case names SHA-256
  MetaDependency present = dependency("Yoxa.Present", "present.appx", "present bytes");
  MetaDependency redist = dependency("Yoxa.Redist", "redist.exe", "redist bytes");
  redist.kind = "CHAINEDinstaller";
  redist.install_args = "/install /quiet";
  redist.min_version.reset();
  records_ = {runtime, present, redist};
  needed_ = {"Yoxa.Runtime", "Yoxa.Redist"};
  serve("runtime.msix", "runtime bytes");
  serve("present.appx", "present bytes");
  serve("redist.exe", "redist bytes");

  const auto prepared = prepare();
  ASSERT_TRUE(prepared) << prepared.error().full_text();
  ASSERT_EQ(asked_.size(), 1u);
  ASSERT_EQ(asked_[0].size(), 3u);
  EXPECT_EQ(asked_[0][0].package_name, "Yoxa.Runtime");
  EXPECT_EQ(asked_[0][0].min_version, "1.0");
  EXPECT_EQ(asked_[0][2].min_version, "");

  ASSERT_EQ(prepared->frameworks.size(), 1u);
  EXPECT_EQ(prepared->frameworks[0].path, staged("runtime.msix"));
  EXPECT_EQ(prepared->frameworks[0].package_name, "Yoxa.Runtime");
  EXPECT_EQ(prepared->frameworks[0].min_version, "1.0");
  ASSERT_EQ(prepared->chained_installers.size(), 1u);
  EXPECT_EQ(prepared->chained_installers[0].path, staged("redist.exe"));
  EXPECT_EQ(prepared->chained_installers[0].arguments, "/install /quiet");

  EXPECT_EQ(read_file(staged("runtime.msix")), "runtime bytes");
  EXPECT_FALSE(fs::exists(staged("runtime.msix.part")));
  EXPECT_EQ(requests_for("present.appx"), 0u);
  EXPECT_EQ(verified_, (std::vector<std::string>{"runtime.msix", "redist.exe"}));
  EXPECT_TRUE(logged("Yoxa.Present: already installed at or above the required version; not downloading")) << log_;
  EXPECT_TRUE(logged("Yoxa.Runtime: downloading framework from " + kDir + "/runtime.msix")) << log_;
  EXPECT_TRUE(logged("Yoxa Abacus: prepared 2 framework package(s) from the CDN")) << log_;
}

TEST_F(OnlineDependencies, StagedCopiesAreReusedOnlyWhenTheyStillVerify) {
  const struct {
    const char* name;
    std::string staged;
    bool with_checksum;
    bool downloads;
  } cases[] = {
      {"matching copy", "fw bytes", true, false},
      {"stale copy", "old bytes", true, true},
      {"nothing to check it against", "fw bytes", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MetaDependency record = dependency("Yoxa.Fw", "fw.appx", "fw bytes");
    if (!c.with_checksum) record.checksum.reset();
    records_ = {record};
    needed_ = {"Yoxa.Fw"};
    client_ = std::make_unique<FakeHttpClient>();
    serve("fw.appx", "fw bytes");
    fs::create_directories(staging_ / "dependencies");
    write_file(staged("fw.appx"), c.staged);

    const auto prepared = prepare();
    ASSERT_TRUE(prepared);
    ASSERT_EQ(prepared->frameworks.size(), 1u);
    EXPECT_EQ(read_file(staged("fw.appx")), "fw bytes");
    EXPECT_EQ(requests_for("fw.appx"), c.downloads ? 1u : 0u);
    EXPECT_EQ(logged("Yoxa.Fw: reusing verified framework already staged at " + staged("fw.appx")), !c.downloads)
        << log_;
  }
}

TEST_F(OnlineDependencies, ChecksumDecidesWhatIsKept) {
  MetaDependency bad = dependency("Yoxa.Bad", "bad.appx", "expected bytes");
  MetaDependency other = dependency("Yoxa.Other", "other.appx", "other bytes");
  other.checksum_algorithm = "md5";
  MetaDependency missing = dependency("Yoxa.Missing", "missing.appx", "");
  MetaDependency good = dependency("Yoxa.Good", "good.appx", "good bytes");
  records_ = {bad, other, missing, good};
  needed_ = {"Yoxa.Bad", "Yoxa.Other", "Yoxa.Missing", "Yoxa.Good"};
  serve("bad.appx", "tampered bytes");
  serve("other.appx", "other bytes, unchecked");
  client_->on(kDir + "/missing.appx", FakeReply::failure("connection refused"));
  serve("good.appx", "good bytes");

  const auto prepared = prepare();
  ASSERT_TRUE(prepared);
  std::vector<std::string> names;
  for (const auto& framework : prepared->frameworks) names.push_back(framework.package_name);
  EXPECT_EQ(names, (std::vector<std::string>{"Yoxa.Other", "Yoxa.Good"}));
  EXPECT_FALSE(fs::exists(staged("bad.appx")));
  EXPECT_FALSE(fs::exists(staged("missing.appx")));
  EXPECT_EQ(verified_, (std::vector<std::string>{"bad.appx", "good.appx"}));
  EXPECT_TRUE(logged("Yoxa.Bad: framework checksum mismatch (")) << log_;
  EXPECT_TRUE(logged("Yoxa.Other: meta.json records no usable checksum; using the file as downloaded")) << log_;
  EXPECT_TRUE(logged("Yoxa.Missing: framework download failed (")) << log_;
  EXPECT_TRUE(logged("; continuing without it")) << log_;
}

TEST_F(OnlineDependencies, QuitDuringTheSecondOfThreeKeepsTheFirst) {
  records_ = {dependency("Yoxa.One", "one.appx", "1"), dependency("Yoxa.Two", "two.appx", "2"),
              dependency("Yoxa.Three", "three.appx", "3")};
  needed_ = {"Yoxa.One", "Yoxa.Two", "Yoxa.Three"};
  serve("one.appx", "1");
  FakeReply second = FakeReply::ok("2").sized();
  second.before_read = [this](std::size_t) { fs::remove(quit_); };
  client_->on(kDir + "/two.appx", second);
  serve("three.appx", "3");

  const auto prepared = prepare();
  ASSERT_TRUE(prepared);
  ASSERT_EQ(prepared->frameworks.size(), 1u);
  EXPECT_EQ(prepared->frameworks[0].package_name, "Yoxa.One");
  EXPECT_EQ(requests_for("three.appx"), 0u);
  EXPECT_TRUE(logged("Framework download cancelled by user")) << log_;
}

TEST_F(OnlineDependencies, DestinationMustBeAPlainFileName) {
  const char* refused[] = {"../evil.appx", "..",         ".",          "sub/fw.appx", "sub\\fw.appx", "C:fw.appx",
                           "fw..appx",     "fw<.appx",   "fw>.appx",   "fw\".appx",   "fw|.appx",     "fw?.appx",
                           "fw*.appx",     "fw\x01.appx", "fw\x7f.appx", "\\\\server\\share\\fw.appx", ""};
  for (const char* name : refused) EXPECT_FALSE(is_safe_dependency_file_name(name)) << printable(name);
  for (const char* name : {"fw.appx", "Microsoft.VCLibs.140.00_x64.appx", ".hidden", "a b (1).msix", "r\xc3\xa9.appx"}) {
    EXPECT_TRUE(is_safe_dependency_file_name(name)) << name;
  }

  // Each refused record is skipped with the unusable-record warning; the others go on.
  for (const char* name : refused) records_.push_back(dependency("Yoxa.Bad", name, "x"));
  MetaDependency no_identity = dependency("", "fw.appx", "x");
  records_.push_back(no_identity);
  records_.push_back(dependency("Yoxa.Fine", "fine.appx", "fine"));
  needed_ = {"Yoxa.Bad", "Yoxa.Fine"};
  serve("fine.appx", "fine");

  const auto prepared = prepare();
  ASSERT_TRUE(prepared);
  ASSERT_EQ(asked_.size(), 1u);
  ASSERT_EQ(asked_[0].size(), 1u);
  EXPECT_EQ(asked_[0][0].package_name, "Yoxa.Fine");
  ASSERT_EQ(prepared->frameworks.size(), 1u);
  EXPECT_EQ(client_->request_count(), 1u);
  const auto count = [&](const std::string& text) {
    std::size_t found = 0;
    for (std::size_t at = 0; (at = log_.find(text, at)) != std::string::npos; ++at) ++found;
    return found;
  };
  // The empty name and the record without identity lack a field; the others say what is wrong.
  EXPECT_EQ(count("abacus: meta.json dependency record has no identity/destination; skipping"), 2u) << log_;
  EXPECT_EQ(count("is not a plain file name; skipping"), std::size(refused) - 1) << log_;
  EXPECT_TRUE(logged("abacus: meta.json dependency record (Yoxa.Bad) is unusable: its destination '../evil.appx' is "
                     "not a plain file name; skipping"))
      << log_;
  EXPECT_FALSE(fs::exists(dir_.path() / "base" / "evil.appx"));
}

// A destination naming the staged package (or one of its work files), or another record's file,
// must never make the dependency step delete or replace the package that passed verification.
TEST_F(OnlineDependencies, ClashingDestinationsNeverTouchTheVerifiedPackage) {
  fs::create_directories(staging_);
  const char* package_files[] = {"installer-v4.0.msix", "installer-v4.0.msix.tmp", "installer-v4.0.msix.part",
                                 "installer-v4.0.msix.ahead"};
  for (const char* name : package_files) write_file(staging_ / name, std::string("verified package: ") + name);
  records_ = {
      dependency("Yoxa.Main", "installer-v4.0.msix", "dependency bytes"),
      dependency("Yoxa.Tmp", "installer-v4.0.msix.tmp", "tmp bytes"),
      dependency("Yoxa.Ahead", "installer-v4.0.msix.ahead", "ahead bytes"),
      dependency("Yoxa.First", "fw.appx", "first bytes"),
      dependency("Yoxa.Same", "FW.APPX", "same-name bytes"),
      dependency("Yoxa.Part", "fw.appx.part", "part bytes"),
  };
  needed_ = {"Yoxa.Main", "Yoxa.Tmp", "Yoxa.Ahead", "Yoxa.First", "Yoxa.Same", "Yoxa.Part"};
  serve("installer-v4.0.msix", "dependency bytes");
  serve("installer-v4.0.msix.tmp", "tmp bytes");
  serve("installer-v4.0.msix.ahead", "ahead bytes");
  serve("fw.appx", "first bytes");
  serve("FW.APPX", "same-name bytes");
  serve("fw.appx.part", "part bytes");

  const auto prepared = prepare();
  ASSERT_TRUE(prepared);
  for (const char* name : package_files) {
    EXPECT_EQ(read_file(staging_ / name), std::string("verified package: ") + name) << name;
  }
  std::vector<std::string> names;
  for (const auto& framework : prepared->frameworks) {
    names.push_back(framework.package_name);
    EXPECT_EQ(fs::path(framework.path).parent_path(), staging_ / "dependencies");
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Yoxa.Main", "Yoxa.Tmp", "Yoxa.Ahead", "Yoxa.First"}));
  EXPECT_EQ(read_file(staged("fw.appx")), "first bytes");
  EXPECT_EQ(requests_for("FW.APPX") + requests_for("fw.appx.part"), 0u);
  EXPECT_TRUE(logged("abacus: meta.json dependency record (Yoxa.Same) is unusable: its destination 'FW.APPX' clashes "
                     "with the file of Yoxa.First ('fw.appx'); skipping"))
      << log_;
  EXPECT_TRUE(logged("(Yoxa.Part) is unusable: its destination 'fw.appx.part' clashes with the file of Yoxa.First"))
      << log_;
}

// An elevated process takes no dependency it cannot verify; an unelevated one keeps the old rule.
TEST_F(OnlineDependencies, WithoutAUsableChecksumOnlyAnUnelevatedProcessUsesTheFile) {
  for (const bool privileged : {false, true}) {
    SCOPED_TRACE(privileged ? "elevated" : "unelevated");
    privileged_ = privileged;
    client_ = std::make_unique<FakeHttpClient>();
    fs::remove_all(staging_);
    MetaDependency unchecked = dependency("Yoxa.Unchecked", "unchecked.appx", "x");
    unchecked.checksum.reset();
    MetaDependency md5 = dependency("Yoxa.Md5", "md5.exe", "y");
    md5.checksum_algorithm = "md5";
    md5.kind = "chainedInstaller";
    MetaDependency checked = dependency("Yoxa.Checked", "checked.appx", "z");
    records_ = {unchecked, md5, checked};
    needed_ = {"Yoxa.Unchecked", "Yoxa.Md5", "Yoxa.Checked"};
    serve("unchecked.appx", "x");
    serve("md5.exe", "y");
    serve("checked.appx", "z");

    const auto prepared = prepare();
    ASSERT_TRUE(prepared);
    EXPECT_EQ(prepared->frameworks.size(), privileged ? 1u : 2u);
    EXPECT_EQ(prepared->chained_installers.size(), privileged ? 0u : 1u);
    EXPECT_EQ(requests_for("unchecked.appx") + requests_for("md5.exe"), privileged ? 0u : 2u);
    EXPECT_EQ(logged("Yoxa.Md5: meta.json records no usable checksum; an elevated process refuses a dependency it "
                     "cannot verify, so it is left out"),
              privileged)
        << log_;
    EXPECT_EQ(logged("Yoxa.Unchecked: meta.json records no usable checksum; using the file as downloaded"), !privileged)
        << log_;
  }
}

TEST_F(OnlineDependencies, StagingDirectoryThatCannotBeMadeFailsTheOperation) {
  records_ = {dependency("Yoxa.Fw", "fw.appx", "x")};
  needed_ = {"Yoxa.Fw"};
  fs::create_directories(staging_.parent_path());
  write_file(staging_, "a file where the directory belongs");
  const auto prepared = prepare();
  ASSERT_FALSE(prepared);
  EXPECT_EQ(prepared.error().message(), msg::kFilesystemError);
  EXPECT_EQ(client_->request_count(), 0u);

  // With nothing usable there is nothing to stage and nothing to ask.
  records_ = {dependency("", "", "")};
  EXPECT_TRUE(prepare());
  EXPECT_EQ(asked_.size(), 1u);
}

}  // namespace
}  // namespace yoxa
