#include "acquisition/online_provider.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "acquisition/download_ahead.h"
#include "core/messages.h"
#include "install/staging.h"
#include "fake_http.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

namespace fs = std::filesystem;
using testing::FakeHttpClient;
using testing::FakeReply;
using testing::logged_by;

const InstallerConfig kConfig = parse_installer_config(R"({
  "flavour": "default",
  "cdn": {"dataCenter": "cn", "domains": {"cn": "https://dl.yoxa.example/"}, "distributionRoot": "officesuite",
          "appsRoot": "apps", "release": "latest"},
  "trustedDownloadDomains": ["yoxa.example"]})");

const std::string kQuillDir = "https://dl.yoxa.example/officesuite/apps/default/quill/windows/x64/msi/latest";
const std::string kQuillMeta = kQuillDir + "/meta.json";
const std::string kQuillOtherMeta =
    "https://dl.yoxa.example/officesuite/apps/default/quill/windows/universal/msi/latest/meta.json";
const std::string kPackageUrl = kQuillDir + "/quill-1.2.3.msi";
const std::string kMirrorUrl = "https://mirror.yoxa.example/quill-1.2.3.msi";
const std::string kPackage = "signed package bytes";
const std::string kDigest = "ABC123";

std::string meta_json(const std::string& members) {
  return R"({"version": "1.2.3", "destination": "quill-1.2.3.msi", "checksum": "ABC123")" +
         (members.empty() ? std::string() : ", " + members) + "}";
}

void write_file(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class OnlineProvider : public ::testing::Test {
 protected:
  OnlineProvider() {
    write_file(quit_, "");
    auto [sink, receiver] = make_event_channel();
    sink_.emplace(std::move(sink));
    receiver_.emplace(std::move(receiver));
  }

  PackageHost host() {
    PackageHost made;
    made.staging_paths = [this](const std::string& base, const std::string& version, const std::string& format)
        -> Result<StagingPaths> {
      ++staging_calls_;
      const fs::path dir = fs::path(base) / "installer";
      fs::create_directories(dir);
      const std::string name = "installer-v" + version + "." + format;
      return StagingPaths{(dir / name).string(), (dir / (name + ".tmp")).string()};
    };
    made.verify_package = [this](const std::string& path, const std::string& expected) -> Result<void> {
      verified_.push_back(expected);
      if (read_file(path) == kPackage && expected == kDigest) return {};
      return fail(msg::kVerificationFailed, "checksum mismatch in test", 9999);
    };
    made.verify_checksum = made.verify_package;
    made.fetch_metadata = [this](std::string_view app_id) { return fetch_package_meta(*client_, kConfig, app_id); };
    made.trusted_suffixes = [] { return std::vector<std::string>{"yoxa.example"}; };
    made.note_not_found = [this] { ++not_found_calls_; };
    made.request_builder = [](const std::string& url, std::uint32_t seconds) {
      return build_request(url, seconds, std::unexpected(std::string("no proxy in tests")));
    };
    made.http_client = [this]() -> platform::HttpClient& { return *client_; };
    made.sleep = [this](std::chrono::milliseconds pause) {
      pauses_.push_back(std::chrono::duration_cast<std::chrono::seconds>(pause));
      if (on_sleep_) on_sleep_();
    };
    return made;
  }

  FetchOutcome fetch(PackageHost with) {
    return OnlinePackageProvider(std::move(with)).fetch(*app_by_id("quill"), base_.string(), *sink_, CancelToken::quit_file(quit_.string()));
  }
  FetchOutcome fetch() { return fetch(host()); }

  // The stage events and the provider's own progress events, in order, as "stage verify" or "75 VERIFYING".
  std::vector<std::string> events() {
    sink_.reset();
    std::vector<std::string> seen;
    while (auto text = receiver_->receive()) {
      const Json event = Json::parse(*text);
      if (event["type"] == "stage") seen.push_back("stage " + event["stage"].get<std::string>());
      if (event["type"] == "progress" && !event.contains("detailArgs")) {
        seen.push_back(std::to_string(event["percent"].get<int>()) + " " + event["detailCode"].get<std::string>());
      }
    }
    return seen;
  }

  // The stage and progress events in order; a transfer's progress as "percent DOWNLOADING done/total".
  std::vector<std::string> course() {
    sink_.reset();
    std::vector<std::string> seen;
    while (auto text = receiver_->receive()) {
      const Json event = Json::parse(*text);
      if (event["type"] == "stage") seen.push_back("stage " + event["stage"].get<std::string>());
      if (event["type"] != "progress") continue;
      std::string step = std::to_string(event["percent"].get<int>()) + " " + event["detailCode"].get<std::string>();
      if (const auto args = event.find("detailArgs"); args != event.end() && args->contains("totalBytes")) {
        step += format(" {}/{}", (*args)["downloadedBytes"].get<std::uint64_t>(), (*args)["totalBytes"].get<std::uint64_t>());
      }
      seen.push_back(std::move(step));
    }
    return seen;
  }

  std::size_t requests_for(const std::string& url) const {
    std::size_t count = 0;
    for (const auto& request : client_->requests()) count += request.url == url ? 1u : 0u;
    return count;
  }

  void serve_meta(const std::string& json) { client_->on(kQuillMeta, FakeReply::ok(json)); }
  void serve_package() { client_->on(kPackageUrl, FakeReply::ok(kPackage).sized()); }

  testing::TempDir dir_;
  fs::path quit_ = dir_.path() / "run.lock";
  fs::path base_ = dir_.path() / "base";
  fs::path final_ = base_ / "installer" / "installer-v1.2.3.msi";
  std::unique_ptr<FakeHttpClient> client_ = std::make_unique<FakeHttpClient>();
  std::vector<std::chrono::seconds> pauses_;
  std::function<void()> on_sleep_;
  std::vector<std::string> verified_;
  int not_found_calls_ = 0;
  int staging_calls_ = 0;
  std::optional<EventSink> sink_;
  std::optional<EventReceiver> receiver_;
};

TEST_F(OnlineProvider, FreshDownloadIsVerifiedAndReturned) {
  serve_meta(meta_json(""));
  serve_package();
  FetchOutcome result;
  const std::string log = logged_by([&] { result = fetch(); });
  ASSERT_TRUE(result) << result.error().full_text();
  ASSERT_TRUE(*result);
  EXPECT_EQ(**result, final_.string());
  EXPECT_EQ(read_file(final_), kPackage);
  EXPECT_EQ(verified_, std::vector<std::string>{kDigest});
  EXPECT_EQ(events(), (std::vector<std::string>{"5 DOWNLOADING", "stage verify", "75 VERIFYING"}));
  EXPECT_NE(log.find("Yoxa Quill: version=1.2.3, url=" + kPackageUrl), std::string::npos) << log;
  EXPECT_TRUE(pauses_.empty());
}

TEST_F(OnlineProvider, MetadataFailuresThatAreFinal) {
  FakeReply redirected = FakeReply::ok(meta_json(""));
  redirected.final_url = "https://evil.example/meta.json";
  const struct {
    const char* name;
    FakeReply reply;
    const char* message;
    int not_found_calls;
  } cases[] = {
      {"not found", FakeReply::with_status(404), msg::kNotAvailableOnline, 1},
      {"untrusted redirect", redirected, msg::kUntrustedSource, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    client_ = std::make_unique<FakeHttpClient>();
    not_found_calls_ = 0;
    client_->on(kQuillMeta, c.reply).on(kQuillOtherMeta, c.reply);
    const auto result = fetch();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), c.message);
    EXPECT_EQ(not_found_calls_, c.not_found_calls);
    EXPECT_EQ(requests_for(kQuillMeta), 1u) << "retried";
    EXPECT_TRUE(pauses_.empty());
    EXPECT_EQ(staging_calls_, 0);
  }
}

TEST_F(OnlineProvider, MetadataRetriedAfterFiveThenTenSeconds) {
  // Each attempt asks under both arch segments.
  for (int i = 0; i < 4; ++i) client_->then(FakeReply::with_status(503));
  client_->then(FakeReply::ok(meta_json("")));
  serve_package();
  FetchOutcome result;
  const std::string log = logged_by([&] { result = fetch(); });
  ASSERT_TRUE(result && *result) << (result ? "cancelled" : result.error().full_text());
  EXPECT_EQ(pauses_, (std::vector<std::chrono::seconds>{std::chrono::seconds(5), std::chrono::seconds(10)}));
  EXPECT_NE(log.find("Failed to fetch metadata for Yoxa Quill: "), std::string::npos) << log;
  EXPECT_EQ(not_found_calls_, 0);
}

TEST_F(OnlineProvider, MetadataGivesUpAfterThreeAttempts) {
  client_->on(kQuillMeta, FakeReply::with_status(503)).on(kQuillOtherMeta, FakeReply::with_status(503));
  FetchOutcome result;
  const std::string log = logged_by([&] { result = fetch(); });
  ASSERT_FALSE(result);
  EXPECT_EQ(code_for_error(result.error()), ErrorKind::NetworkUnavailable);
  EXPECT_EQ(requests_for(kQuillMeta), 3u);
  EXPECT_EQ(pauses_.size(), 2u);
  std::size_t logged = 0;
  for (auto at = log.find("Failed to fetch metadata"); at != std::string::npos;
       at = log.find("Failed to fetch metadata", at + 1)) {
    ++logged;
  }
  EXPECT_EQ(logged, 3u);
}

TEST_F(OnlineProvider, RefusalsBeforeAnyDownload) {
  const struct {
    const char* name;
    std::string meta;
    std::vector<std::string> host_suffixes;
    const char* message;
    std::string detail;
  } cases[] = {
      {"no destination", R"({"version": "1.2.3", "checksum": "ABC123"})", {"yoxa.example"}, msg::kNotAvailableOnline,
       "meta.json for 'Yoxa Quill' has no destination"},
      {"hyphenated algorithm", meta_json(R"("checksumAlgorithm": "SHA-256")"), {"yoxa.example"},
       msg::kVerificationFailed,
       "Yoxa Quill: meta.json declares checksum algorithm 'SHA-256', which this engine cannot compute \u2014 refusing "
       "to install unverified bytes"},
      {"empty algorithm", meta_json(R"("checksumAlgorithm": "")"), {"yoxa.example"}, msg::kVerificationFailed,
       "Yoxa Quill: meta.json declares checksum algorithm '', which this engine cannot compute \u2014 refusing to "
       "install unverified bytes"},
      {"package host not trusted", meta_json(""), {"other.example"}, msg::kUntrustedSource,
       "the download URL rejected: " + kPackageUrl},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    client_ = std::make_unique<FakeHttpClient>();
    serve_meta(c.meta);
    serve_package();
    PackageHost with = host();
    with.trusted_suffixes = [&c] { return c.host_suffixes; };
    const auto result = fetch(std::move(with));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), c.message);
    EXPECT_EQ(result.error().detail(), c.detail);
    EXPECT_EQ(requests_for(kPackageUrl), 0u);
    EXPECT_EQ(not_found_calls_, 0);
  }
}

TEST_F(OnlineProvider, ChecksumAlgorithmsThatPass) {
  const struct {
    const char* name;
    std::string meta;
    std::string expected;  // what verification is asked to match
    bool verifies;
  } cases[] = {
      {"upper case", meta_json(R"("checksumAlgorithm": "SHA256")"), kDigest, true},
      {"null algorithm", meta_json(R"("checksumAlgorithm": null)"), kDigest, true},
      {"other algorithm, no digest", R"({"version": "1.2.3", "destination": "quill-1.2.3.msi",
                                        "checksumAlgorithm": "md5"})", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    client_ = std::make_unique<FakeHttpClient>();
    verified_.clear();
    fs::remove_all(base_);
    serve_meta(c.meta);
    serve_package();
    const auto result = fetch();
    EXPECT_EQ(requests_for(kPackageUrl), 1u);
    EXPECT_EQ(verified_, std::vector<std::string>{c.expected});
    ASSERT_EQ(static_cast<bool>(result), c.verifies);
    if (!c.verifies) {
      EXPECT_EQ(result.error().message(), msg::kVerificationFailed);
    }
  }
}

TEST(ExpectedDigest, ChoiceOfValueAndAlgorithm) {
  const struct {
    const char* name;
    const char* json;
    std::optional<std::string> value;
    bool uncomputable;
  } cases[] = {
      {"checksum", R"({"checksum": "AA"})", "AA", false},
      {"sha256 member", R"({"sha256": "BB"})", "BB", false},
      {"checksum wins", R"({"checksum": "AA", "sha256": "BB"})", "AA", false},
      {"empty checksum does not fall back", R"({"checksum": "", "sha256": "BB"})", std::nullopt, false},
      {"nothing", R"({})", std::nullopt, false},
      {"mixed case", R"({"checksum": "AA", "checksumAlgorithm": "Sha256"})", "AA", false},
      {"other algorithm", R"({"sha256": "BB", "checksumAlgorithm": "sha512"})", std::nullopt, true},
      {"other algorithm, empty value", R"({"checksum": "", "checksumAlgorithm": "sha512"})", std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto meta = parse_package_meta(c.json);
    ASSERT_TRUE(meta) << meta.error();
    const ExpectedDigest digest = expected_digest(*meta);
    EXPECT_EQ(digest.value, c.value);
    EXPECT_EQ(digest.uncomputable, c.uncomputable);
  }
}

TEST_F(OnlineProvider, VerifiedStagedFileIsReusedWithoutDownload) {
  serve_meta(meta_json(""));
  fs::create_directories(final_.parent_path());
  write_file(final_, kPackage);
  FetchOutcome result;
  const std::string log = logged_by([&] { result = fetch(); });
  ASSERT_TRUE(result && *result);
  EXPECT_EQ(**result, final_.string());
  EXPECT_EQ(requests_for(kPackageUrl), 0u);
  EXPECT_EQ(events(), (std::vector<std::string>{"stage verify", "75 VERIFYING"}));
  EXPECT_NE(log.find("Yoxa Quill: cached installer verified"), std::string::npos) << log;
}

TEST_F(OnlineProvider, CorruptStagedFileIsReplaced) {
  serve_meta(meta_json(""));
  serve_package();
  fs::create_directories(final_.parent_path());
  write_file(final_, "truncated");
  const auto result = fetch();
  ASSERT_TRUE(result && *result);
  EXPECT_EQ(read_file(final_), kPackage);
  EXPECT_EQ(requests_for(kPackageUrl), 1u);
  EXPECT_EQ(verified_.size(), 2u);
  EXPECT_EQ(events(),
            (std::vector<std::string>{"stage verify", "75 VERIFYING", "5 DOWNLOADING", "stage verify", "75 VERIFYING"}));
}

TEST_F(OnlineProvider, CorruptStagedFileIsDeletedEvenWhenTheDownloadFails) {
  serve_meta(meta_json(""));
  client_->on(kPackageUrl, FakeReply::failure("connection refused"));
  fs::create_directories(final_.parent_path());
  write_file(final_, "truncated");
  const auto result = fetch();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), msg::kDownloadFailed);
  EXPECT_FALSE(fs::exists(final_));
}

TEST_F(OnlineProvider, FailedVerificationKeepsTheFile) {
  serve_meta(meta_json(""));
  client_->on(kPackageUrl, FakeReply::ok("tampered").sized());
  const auto result = fetch();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), msg::kVerificationFailed);
  EXPECT_EQ(read_file(final_), "tampered");
}

TEST_F(OnlineProvider, AlternateUrlAfterFailedPrimary) {
  const struct {
    const char* name;
    std::string members;
    bool succeeds;
    const char* message;  // when it fails
    std::size_t mirror_requests;
    const char* warning;
  } cases[] = {
      {"trusted alternate", R"("alternateDownloadUrl": ")" + kMirrorUrl + "\"", true, nullptr, 1,
       "Yoxa Quill: primary download failed ("},
      {"untrusted alternate", R"("alternateDownloadUrl": "https://mirror.evil.example/q.msi")", false,
       msg::kUntrustedSource, 0, "and the alternateDownloadUrl is not usable"},
      {"plain http alternate", R"("alternateDownloadUrl": "http://mirror.yoxa.example/q.msi")", false,
       msg::kUntrustedSource, 0, "and the alternateDownloadUrl is not usable"},
      {"no alternate", "", false, msg::kDownloadFailed, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    client_ = std::make_unique<FakeHttpClient>();
    fs::remove_all(base_);
    serve_meta(meta_json(c.members));
    client_->on(kPackageUrl, FakeReply::failure("connection refused"));
    client_->on(kMirrorUrl, FakeReply::ok(kPackage).sized());
    FetchOutcome result;
    const std::string log = logged_by([&] { result = fetch(); });
    EXPECT_EQ(requests_for(kPackageUrl), 1u);
    EXPECT_EQ(requests_for(kMirrorUrl), c.mirror_requests);
    if (c.warning) {
      EXPECT_NE(log.find(c.warning), std::string::npos) << log;
    }
    ASSERT_EQ(static_cast<bool>(result), c.succeeds);
    if (c.succeeds) {
      EXPECT_EQ(read_file(final_), kPackage);
    } else {
      EXPECT_EQ(result.error().message(), c.message);
    }
  }
}

TEST_F(OnlineProvider, CancelledBeforeTheFirstAttempt) {
  fs::remove(quit_);
  const auto result = fetch();
  ASSERT_TRUE(result);
  EXPECT_FALSE(*result);
  EXPECT_EQ(client_->request_count(), 0u);
}

TEST_F(OnlineProvider, CancelledDuringTheRetryPause) {
  client_->on(kQuillMeta, FakeReply::with_status(503)).on(kQuillOtherMeta, FakeReply::with_status(503));
  on_sleep_ = [this] { fs::remove(quit_); };
  const auto result = fetch();
  ASSERT_TRUE(result);
  EXPECT_FALSE(*result);
  EXPECT_EQ(requests_for(kQuillMeta), 1u);
}

TEST_F(OnlineProvider, CancelledDuringAFailedDownloadSkipsTheAlternate) {
  serve_meta(meta_json(R"("alternateDownloadUrl": ")" + kMirrorUrl + "\""));
  FakeReply dropped = FakeReply::ok(kPackage).sized();
  dropped.fail_after = 0;
  dropped.before_read = [this](std::size_t) { fs::remove(quit_); };
  client_->on(kPackageUrl, dropped);
  client_->on(kMirrorUrl, FakeReply::ok(kPackage).sized());
  const auto result = fetch();
  ASSERT_TRUE(result) << result.error().full_text();
  EXPECT_FALSE(*result);
  EXPECT_EQ(requests_for(kMirrorUrl), 0u);
}

TEST_F(OnlineProvider, UnsafeVersionIsRefusedBeforeStaging) {
  const struct {
    const char* name;
    std::string meta;
    std::string shown;  // the value as the detail names it
  } cases[] = {
      {"parent directory", R"({"version": "../../evil", "destination": "q.msi", "checksum": "A"})", "../../evil"},
      {"drive", R"({"version": "C:\\x", "destination": "q.msi", "checksum": "A"})", "C:\\x"},
      {"control character", R"({"version": "1\u0007", "destination": "q.msi", "checksum": "A"})", "1\\x07"},
      {"forbidden character", R"({"version": "1|2", "destination": "q.msi", "checksum": "A"})", "1|2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    client_ = std::make_unique<FakeHttpClient>();
    serve_meta(c.meta);
    const auto result = fetch();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), msg::kVerificationFailed);
    EXPECT_EQ(result.error().detail(), "Yoxa Quill: meta.json version '" + c.shown +
                                           "' cannot be part of a staged file name \u2014 refusing to download");
    EXPECT_EQ(code_for_error(result.error()), ErrorKind::VerifyFailed);
    EXPECT_EQ(staging_calls_, 0);
    EXPECT_EQ(client_->request_count(), 1u) << "only meta.json";
  }
  EXPECT_FALSE(fs::exists(base_));
}

TEST_F(OnlineProvider, MissingVersionStagesAnEmptyVersionName) {
  serve_meta(R"({"destination": "quill-1.2.3.msi", "checksum": "ABC123"})");
  serve_package();
  const auto result = fetch();
  ASSERT_TRUE(result) << result.error().full_text();
  EXPECT_EQ(fs::path(**result).filename(), "installer-v.msi");
}

TEST_F(OnlineProvider, HostWithoutVerificationRefusesToFetch) {
  PackageHost with = host();
  with.verify_package = nullptr;
  const auto result = fetch(std::move(with));
  ASSERT_FALSE(result);
  EXPECT_EQ(client_->request_count(), 0u);
}

TEST_F(OnlineProvider, Preflight) {
  FakeReply redirected = FakeReply::ok(meta_json(""));
  redirected.final_url = "https://evil.example/meta.json";
  const struct {
    const char* name;
    FakeReply reply;
    const char* message;  // none: the run goes on
    const char* logged;
  } cases[] = {
      {"reachable", FakeReply::ok(meta_json("")), nullptr, "Internet pre-flight check passed"},
      {"not published", FakeReply::with_status(404), nullptr,
       "Internet pre-flight probe got a 404 for 'Yoxa Quill' \u2014 the CDN host is reachable"},
      {"untrusted", redirected, msg::kUntrustedSource,
       "Internet pre-flight probe refused the configured CDN host as untrusted: "},
      {"offline", FakeReply::failure("could not resolve host"), msg::kCouldNotContactServer,
       "Internet pre-flight check failed: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    client_ = std::make_unique<FakeHttpClient>();
    client_->on(kQuillMeta, c.reply).on(kQuillOtherMeta, c.reply);
    const OnlinePackageProvider provider(host());
    Result<void> result;
    const std::string log = logged_by([&] { result = provider.preflight(); });
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    EXPECT_EQ(requests_for(kQuillMeta), 1u) << "no retries";
    if (!c.message) {
      EXPECT_TRUE(result) << result.error().full_text();
    } else {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().message(), c.message);
      EXPECT_EQ(result.error().detail(), c.message);
    }
  }
}

TEST_F(OnlineProvider, OfflineOperationsAreEmpty) {
  const OnlinePackageProvider provider(host());
  EXPECT_EQ(provider.app_list().size(), app_table().size());
  EXPECT_FALSE(provider.bundled_version("quill"));
  EXPECT_FALSE(provider.bundled_size("quill"));
  const auto prepared = provider.prepare_dependencies(*app_by_id("abacus"), base_.string(), *sink_, CancelToken::quit_file(quit_.string()));
  ASSERT_TRUE(prepared);
  EXPECT_TRUE(prepared->frameworks.empty());
  EXPECT_TRUE(prepared->chained_installers.empty());
}

// The download-ahead of the next app: started while another app installs, ended before that app's fetch.
class DownloadAhead : public OnlineProvider {
 protected:
  std::unique_ptr<PackageDownloadAhead> start() {
    return OnlinePackageProvider(host()).download_ahead(*app_by_id("quill"), base_.string(),
                                                        CancelToken::quit_file(quit_.string()));
  }
  static bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 1000; ++i) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  fs::path ready_ = final_.string() + std::string(kAheadSuffix);
  fs::path temp_ = final_.string() + ".tmp";
};

TEST_F(DownloadAhead, CompleteFileOutlivesTheCleanUpAndIsHandedOverToTheFetch) {
  serve_meta(meta_json(""));
  serve_package();
  FetchOutcome result;
  logged_by([&] {
    auto ahead = start();
    ASSERT_TRUE(eventually([&] { return fs::exists(ready_); }));
    // The app installing meanwhile cleans up after itself; an older package goes, the next app's stays.
    write_file(final_.parent_path() / "installer-v0.9.msi", "old");
    write_file(final_.parent_path() / "installer-v2.0.exe", "installing");
    clean_up_old_installer_files((final_.parent_path() / "installer-v2.0.exe").string());
    EXPECT_FALSE(fs::exists(final_.parent_path() / "installer-v0.9.msi"));
    EXPECT_TRUE(fs::exists(ready_));
    EXPECT_FALSE(fs::exists(final_)) << "handed over before the fetch asked";
    ahead.reset();
    result = fetch();
  });
  ASSERT_TRUE(result && *result) << (result ? "cancelled" : result.error().full_text());
  EXPECT_EQ(**result, final_.string());
  EXPECT_EQ(read_file(final_), kPackage);
  EXPECT_FALSE(fs::exists(ready_));
  EXPECT_EQ(requests_for(kPackageUrl), 1u);
  // The download-ahead itself told the launcher nothing; the fetch that took it over shows
  // the transfer as complete before verifying, as after any fresh download.
  const std::string size = std::to_string(kPackage.size());
  EXPECT_EQ(course(), (std::vector<std::string>{"70 DOWNLOADING " + size + "/" + size, "stage verify", "75 VERIFYING"}));
}

TEST_F(DownloadAhead, CancelledTransferLeavesAPartialFileTheFetchResumes) {
  FakeReply slow = FakeReply::ok(kPackage).sized();
  slow.max_read = 4;
  slow.before_read = [this](std::size_t reads) {
    if (reads != 1) return;
    // Mid-transfer, the installing app's clean-up runs, then the launcher cancels the run.
    clean_up_old_installer_files((final_.parent_path() / "installer-v2.0.exe").string());
    fs::remove(quit_);
  };
  serve_meta(meta_json(""));
  client_->on(kPackageUrl, slow);
  std::uintmax_t partial = 0;
  logged_by([&] {
    auto ahead = start();
    ASSERT_TRUE(eventually([&] { return requests_for(kPackageUrl) == 1 && !fs::exists(quit_); }));
    ahead.reset();
    ASSERT_TRUE(fs::exists(temp_));
    partial = fs::file_size(temp_);
  });
  EXPECT_GT(partial, 0u);
  EXPECT_LT(partial, kPackage.size());
  EXPECT_FALSE(fs::exists(ready_));
  EXPECT_FALSE(fs::exists(final_));

  // A later run resumes the partial file.
  write_file(quit_, "");
  FakeReply rest = FakeReply::with_status(206, kPackage.substr(partial));
  client_->on(kPackageUrl, rest.sized());
  FetchOutcome result;
  logged_by([&] { result = fetch(); });
  ASSERT_TRUE(result && *result) << (result ? "cancelled" : result.error().full_text());
  EXPECT_EQ(read_file(final_), kPackage);
  EXPECT_EQ(testing::header_of(client_->requests().back(), "Range"), "bytes=" + std::to_string(partial) + "-");
  // The resumed transfer reports its progress as usual, up to the whole package.
  const std::string size = std::to_string(kPackage.size());
  const auto seen = course();
  ASSERT_GE(seen.size(), 4u);
  EXPECT_EQ(seen.front(), "5 DOWNLOADING");
  EXPECT_EQ(seen.end()[-3], "70 DOWNLOADING " + size + "/" + size);
  EXPECT_EQ(std::vector<std::string>(seen.end() - 2, seen.end()), (std::vector<std::string>{"stage verify", "75 VERIFYING"}));
}

TEST_F(DownloadAhead, FailedAheadLeavesTheFetchItsUsualOutcome) {
  const struct {
    const char* name;
    FakeReply meta;
    FakeReply package;
    const char* message;
  } cases[] = {
      {"package transfer fails", FakeReply::ok(meta_json("")), FakeReply::failure("connection refused"),
       msg::kDownloadFailed},
      {"package cut short", FakeReply::ok(meta_json("")), [] {
         FakeReply cut = FakeReply::ok(kPackage).sized();
         cut.fail_after = 3;
         return cut;
       }(), msg::kDownloadFailed},
      {"not published", FakeReply::with_status(404), FakeReply::ok(kPackage).sized(), msg::kNotAvailableOnline},
      {"corrupt package", FakeReply::ok(meta_json("")), FakeReply::ok("not the package").sized(),
       msg::kVerificationFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(base_);
    client_ = std::make_unique<FakeHttpClient>();
    client_->on(kQuillMeta, c.meta).on(kQuillOtherMeta, c.meta).on(kPackageUrl, c.package);
    not_found_calls_ = 0;
    FetchOutcome result;
    logged_by([&] {
      start().reset();
      // Nothing of the download-ahead reaches the run: its refusals are the fetch's to report.
      EXPECT_EQ(not_found_calls_, 0);
      result = fetch();
    });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), c.message);
    EXPECT_FALSE(fs::exists(ready_));
  }
}

}  // namespace
}  // namespace yoxa
