#include "acquisition/download.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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
using testing::header_of;
using testing::logged_by;

constexpr const char* kUrl = "https://dl.yoxa.example/apps/quill/installer.msi";
constexpr std::size_t kChunk = kDownloadBufferBytes;

std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return bytes;
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}
std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}
// Compares file contents without printing megabytes on a mismatch.
::testing::AssertionResult holds(const fs::path& path, const std::string& expected) {
  const std::string actual = read_file(path);
  if (actual == expected) return ::testing::AssertionSuccess();
  std::size_t first = 0;
  while (first < actual.size() && first < expected.size() && actual[first] == expected[first]) ++first;
  return ::testing::AssertionFailure() << path.filename() << " holds " << actual.size() << " bytes, expected "
                                       << expected.size() << "; first difference at byte " << first;
}

class Download : public ::testing::Test {
 protected:
  Download() {
    open_channel();
    write_file(quit_, "");
  }

  DownloadRequest request(std::string url = kUrl) {
    return DownloadRequest{
        .app_id = "quill",
        .url = std::move(url),
        .temp_path = temp_.string(),
        .final_path = final_.string(),
        .trusted_suffixes = {"yoxa.example"},
        .sink = *sink_,
        .client = client_,
        .build_request = [](const std::string& target, std::uint32_t seconds) {
          return build_request(target, seconds, std::unexpected(std::string("no proxy in tests")));
        },
        .sleep = [this](std::chrono::milliseconds pause) { pauses_.push_back(std::chrono::duration_cast<std::chrono::seconds>(pause)); },
    };
  }
  Result<void> download(std::string url = kUrl) { return download_to_file(request(std::move(url)), CancelToken::quit_file(quit_.string())); }

  // The progress events sent so far (call once every request built has gone).
  std::vector<Json> progress() {
    sink_.reset();
    std::vector<Json> events;
    while (auto text = receiver_->receive()) {
      Json event = Json::parse(*text);
      if (event["type"] == "progress") events.push_back(std::move(event));
    }
    open_channel();
    return events;
  }

  void open_channel() {
    auto [sink, receiver] = make_event_channel();
    sink_.emplace(std::move(sink));
    receiver_.reset();
    receiver_.emplace(std::move(receiver));
  }

  testing::TempDir dir_;
  fs::path temp_ = dir_.path() / "installer-v4.2.msi.tmp";
  fs::path final_ = dir_.path() / "installer-v4.2.msi";
  fs::path quit_ = dir_.path() / "YoxaOfficeEngineRun-1.lock";
  FakeHttpClient client_;
  std::vector<std::chrono::seconds> pauses_;
  std::optional<EventSink> sink_;
  std::optional<EventReceiver> receiver_;
};

TEST_F(Download, FreshDownloadWithProgressEveryFourthChunk) {
  const std::string body = pattern(5 * kChunk + 10);  // six chunks
  client_.then(FakeReply::ok(body).sized());
  std::optional<Result<void>> result;
  const std::string log = logged_by([&] { result = download(); });
  ASSERT_TRUE(*result) << result->error().full_text();
  EXPECT_TRUE(holds(final_, body));
  EXPECT_FALSE(fs::exists(temp_));

  const auto sent = client_.requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].timeout_seconds, 600u);
  EXPECT_EQ(sent[0].user_agent, "installer-common/0.0.0");
  EXPECT_FALSE(header_of(sent[0], "Range"));

  const auto events = progress();
  ASSERT_EQ(events.size(), 3u);  // chunks 0 and 4, then the end
  EXPECT_EQ(events[0]["detailArgs"]["downloadedBytes"], kChunk);
  EXPECT_EQ(events[1]["detailArgs"]["downloadedBytes"], 5 * kChunk);
  EXPECT_EQ(events[2]["detailArgs"]["downloadedBytes"], body.size());
  EXPECT_EQ(events[2]["percent"], 70);
  for (const auto& event : events) {
    EXPECT_EQ(event["app"], "quill");
    EXPECT_EQ(event["detailCode"], "DOWNLOADING");
    EXPECT_EQ(event["indeterminate"], false);
    EXPECT_EQ(event["detailArgs"]["totalBytes"], body.size());
  }
  for (const char* line : {"Installer download initiated", "Total download size: 1310730 bytes, starting from: 0 bytes",
                           "Downloaded 0 MB", "File download and save completed"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
}

TEST_F(Download, ResumesWithRange) {
  const std::string body = pattern(1000000);
  write_file(temp_, body.substr(0, 300000));
  client_.then(FakeReply::with_status(206, body.substr(300000)).sized());
  std::optional<Result<void>> result;
  const std::string log = logged_by([&] { result = download(); });
  ASSERT_TRUE(*result) << result->error().full_text();
  EXPECT_TRUE(holds(final_, body));
  EXPECT_EQ(header_of(client_.requests().at(0), "Range"), "bytes=300000-");
  const auto events = progress();
  ASSERT_FALSE(events.empty());
  EXPECT_GE(events[0]["detailArgs"]["downloadedBytes"].get<std::uint64_t>(), 300000u);
  EXPECT_EQ(events[0]["detailArgs"]["totalBytes"], 1000000);
  for (const char* line : {"Found partial download, resuming from byte: 300000", "Requesting range: bytes=300000-",
                           "Total download size: 1000000 bytes, starting from: 300000 bytes"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
}

TEST_F(Download, RangeIgnoredRestartsFromTheBeginning) {
  const std::string body = pattern(700000);
  write_file(temp_, "stale bytes of an older build");
  client_.then(FakeReply::ok(body).sized()).then(FakeReply::ok(body).sized());
  std::optional<Result<void>> result;
  const std::string log = logged_by([&] { result = download(); });
  ASSERT_TRUE(*result) << result->error().full_text();
  EXPECT_TRUE(holds(final_, body));
  const auto sent = client_.requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(header_of(sent[0], "Range"), "bytes=29-");
  EXPECT_FALSE(header_of(sent[1], "Range"));
  EXPECT_NE(log.find("Resume from byte 29 not honored (HTTP 200); discarding the partial file and restarting the "
                     "download from the beginning"),
            std::string::npos)
      << log;
}

TEST_F(Download, CancelKeepsThePartialFileForTheNextRun) {
  const std::string body = pattern(1000000);
  FakeReply first = FakeReply::ok(body).sized();
  first.max_read = 100000;
  first.before_read = [this](std::size_t reads) {
    if (reads == 0) fs::remove(quit_);  // noticed before the second read
  };
  client_.then(first);
  const auto cancelled = download();
  ASSERT_FALSE(cancelled);
  EXPECT_EQ(code_for_error(cancelled.error()), ErrorKind::Cancelled);
  EXPECT_EQ(cancelled.error().message(), "User cancelled the operation");
  EXPECT_TRUE(holds(temp_, body.substr(0, 100000)));
  EXPECT_FALSE(fs::exists(final_));

  write_file(quit_, "");
  client_.then(FakeReply::with_status(206, body.substr(100000)).sized());
  ASSERT_TRUE(download());
  EXPECT_EQ(header_of(client_.requests().at(1), "Range"), "bytes=100000-");
  EXPECT_TRUE(holds(final_, body));
}

TEST_F(Download, FailuresAndWhatTheyLeaveBehind) {
  const std::string partial = pattern(1000);
  FakeReply short_body = FakeReply::ok(pattern(600)).header("Content-Length", "1000");
  FakeReply redirected = FakeReply::ok(pattern(10)).sized();
  redirected.final_url = "https://cdn.evil.example/installer.msi";
  FakeReply drops = FakeReply::ok(pattern(300000)).sized();
  drops.fail_after = 5000;

  const struct {
    const char* name;
    FakeReply reply;
    const char* message;
    std::string detail;
    std::optional<std::string> left;  // the partial file afterwards; none when removed
  } cases[] = {
      {"short body", short_body, msg::kDownloadFailed, "Download size mismatch: (1600, 2000)", partial + pattern(600)},
      {"untrusted redirect", redirected, msg::kUntrustedSource,
       "a download redirect rejected: https://cdn.evil.example/installer.msi", std::nullopt},
      {"no connection", FakeReply::failure("timed out"), msg::kDownloadFailed, "timed out", std::nullopt},
      {"connection drops", drops, msg::kDownloadFailed, "connection reset by peer", partial + pattern(5000)},
  };
  for (const auto& c : cases) {
    write_file(temp_, partial);
    FakeReply reply = c.reply;
    reply.status = 206;
    client_.then(reply);
    const auto result = download();
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error().message(), c.message) << c.name;
    EXPECT_EQ(result.error().detail(), c.detail) << c.name;
    if (c.left) {
      EXPECT_TRUE(holds(temp_, *c.left)) << c.name;
    } else {
      EXPECT_FALSE(fs::exists(temp_)) << c.name;
    }
    EXPECT_FALSE(fs::exists(final_)) << c.name;
    fs::remove(temp_);
  }
}

TEST_F(Download, RefusedBeforeAnythingIsSent) {
  write_file(temp_, "partial");
  for (const char* url : {"http://dl.yoxa.example/installer.msi", "https://dl.yoxa.example.evil.example/i.msi"}) {
    const auto result = download(url);
    ASSERT_FALSE(result) << url;
    EXPECT_EQ(code_for_error(result.error()), ErrorKind::UntrustedSource) << url;
    EXPECT_EQ(result.error().detail(), std::string("the download URL rejected: ") + url);
  }
  EXPECT_EQ(client_.request_count(), 0u);
  EXPECT_TRUE(holds(temp_, "partial"));

  // A temp file that cannot be created stops the download before it is requested.
  temp_ = dir_.path() / "missing" / "installer.tmp";
  const auto unopened = download();
  ASSERT_FALSE(unopened);
  EXPECT_EQ(unopened.error().message(), msg::kFilesystemError);
  EXPECT_EQ(client_.request_count(), 0u);
}

TEST_F(Download, WithoutContentLengthProgressIsIndeterminate) {
  const std::string body = pattern(2 * kChunk);
  client_.then(FakeReply::ok(body));
  ASSERT_TRUE(download());
  EXPECT_TRUE(holds(final_, body));
  const auto events = progress();
  ASSERT_EQ(events.size(), 2u);
  for (const auto& event : events) {
    EXPECT_EQ(event["percent"], 5);
    EXPECT_EQ(event["indeterminate"], true);
    EXPECT_FALSE(event["detailArgs"].contains("totalBytes"));
  }
  EXPECT_EQ(events[1]["detailArgs"]["downloadedBytes"], body.size());
}

TEST_F(Download, ProgressArithmetic) {
  const struct {
    std::uint64_t downloaded;
    std::uint64_t total;
    std::uint64_t percent;
  } cases[] = {
      {0, 100, 5},
      {1, 100, 5},
      {50, 100, 37},
      {99, 100, 69},
      {100, 100, 70},
      {250, 100, 70},  // more than announced is capped
      {3ull << 40, 4ull << 40, 53},
      // Computed in single precision: both counts round to 2^25, so the ratio is exactly 1.
      {33554433, 33554434, 70},
  };
  for (const auto& c : cases) report_download_progress(request(), c.downloaded, c.total);
  const auto events = progress();
  ASSERT_EQ(events.size(), std::size(cases));
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i]["percent"], cases[i].percent) << cases[i].downloaded << "/" << cases[i].total;
    EXPECT_EQ(events[i]["indeterminate"], false);
    const Json args = {{"downloadedBytes", cases[i].downloaded}, {"totalBytes", cases[i].total}};
    EXPECT_EQ(events[i]["detailArgs"], args);
  }
}

TEST_F(Download, RenameIsRetriedTwiceThenFails) {
  fs::create_directories(final_ / "occupied");  // a directory cannot be replaced by the file
  client_.then(FakeReply::ok(pattern(1000)).sized());
  std::optional<Result<void>> result;
  const std::string log = logged_by([&] { result = download(); });
  ASSERT_FALSE(*result);
  EXPECT_EQ(result->error().message(), msg::kFilesystemError);
  EXPECT_TRUE(result->error().detail().ends_with(": " + temp_.string())) << result->error().detail();
  EXPECT_EQ(pauses_, (std::vector<std::chrono::seconds>{std::chrono::seconds(5), std::chrono::seconds(10)}));
  EXPECT_TRUE(holds(temp_, pattern(1000)));
  for (const char* line : {"Attempt 1 to rename file failed: ", "Attempt 2 to rename file failed: ",
                           "Attempt 3 to rename file failed: "}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
}

TEST_F(Download, ReplacesAnEarlierFinalFile) {
  write_file(final_, "an older, corrupt package");
  client_.then(FakeReply::ok(pattern(4000)).sized());
  ASSERT_TRUE(download());
  EXPECT_TRUE(holds(final_, pattern(4000)));
  EXPECT_TRUE(pauses_.empty());
}

TEST(RemoveTempFile, LeavesDirectoriesAndMissingPathsAlone) {
  const testing::TempDir dir;
  const fs::path file = dir.path() / "x.tmp";
  write_file(file, "x");
  remove_temp_file(file.string());
  EXPECT_FALSE(fs::exists(file));
  remove_temp_file(file.string());
  fs::create_directories(dir.path() / "d.tmp");
  remove_temp_file((dir.path() / "d.tmp").string());
  EXPECT_TRUE(fs::is_directory(dir.path() / "d.tmp"));
}

}  // namespace
}  // namespace yoxa
