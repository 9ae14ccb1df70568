#include "acquisition/source_probe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fake_http.h"
#include "log_capture.h"

namespace yoxa {
namespace {

using testing::FakeHttpClient;
using testing::FakeReply;
using testing::logged_by;

const InstallerConfig kConfig = parse_installer_config(R"({"downloadPageUrl": "https://www.yoxa.example/download",
    "trustedDownloadDomains": []})");

TEST(SourceProbe, AnyAnswerFromTheDownloadPageMeansTheTreeIsGone) {
  for (const std::uint32_t status : {200u, 301u, 404u, 500u}) {
    FakeHttpClient client;
    client.then(FakeReply::with_status(status, "page"));
    std::optional<Retirement> verdict;
    const std::string log = logged_by([&] { verdict = probe_source_unavailable(client, kConfig); });
    ASSERT_TRUE(verdict) << status;
    EXPECT_EQ(verdict->reason, "source-unavailable");
    EXPECT_EQ(verdict->download_url, "https://www.yoxa.example/download");
    EXPECT_FALSE(verdict->expires_on);
    EXPECT_NE(log.find("a package lookup returned 'not found' while https://www.yoxa.example/download is reachable "
                       "\u2014 the CDN tree this installer was built against is gone"),
              std::string::npos)
        << log;
    const auto sent = client.requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].url, "https://www.yoxa.example/download");
    EXPECT_EQ(sent[0].timeout_seconds, 8u);
    EXPECT_EQ(sent[0].user_agent, "installer-common/0.0.0");
  }
}

TEST(SourceProbe, NoVerdictWhenTheMachineIsOffline) {
  FakeHttpClient client;
  client.then(FakeReply::failure("cannot connect"));
  std::optional<Retirement> verdict;
  const std::string log = logged_by([&] { verdict = probe_source_unavailable(client, kConfig); });
  EXPECT_FALSE(verdict);
  EXPECT_NE(log.find("a package lookup failed, but the control probe of https://www.yoxa.example/download also "
                     "failed (cannot connect) \u2014 this is the machine's connection, not a retired CDN"),
            std::string::npos)
      << log;
}

TEST(SourceProbe, NoVerdictAndNoRequestForAPlainHttpPage) {
  const InstallerConfig config = parse_installer_config(R"({"downloadPageUrl": "http://www.yoxa.example/download"})");
  FakeHttpClient client;
  client.then(FakeReply::ok(""));
  std::optional<Retirement> verdict;
  const std::string log = logged_by([&] { verdict = probe_source_unavailable(client, config); });
  EXPECT_FALSE(verdict);
  EXPECT_EQ(client.request_count(), 0u);
  EXPECT_NE(log.find("cannot probe for retirement: downloadPageUrl is not https ("), std::string::npos) << log;
  EXPECT_NE(log.find("). Fix it in installer_config.json \u2014 build refuses to compile this state"),
            std::string::npos)
      << log;
}

TEST(SourceProbe, ConcurrentNotesRunOneProbe) {
  SourceVerdictCell cell;
  EXPECT_FALSE(cell.get());
  std::atomic<int> probes{0};
  const auto probe = [&]() -> std::optional<Retirement> {
    ++probes;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return Retirement{"source-unavailable", "https://www.yoxa.example/download", std::nullopt};
  };
  std::vector<std::thread> threads;
  std::vector<std::optional<Retirement>> seen(4);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      cell.note(probe);
      seen[i] = cell.get();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(probes.load(), 1);
  for (const auto& verdict : seen) EXPECT_TRUE(verdict);  // every caller waited for the one result

  cell.note(probe);
  EXPECT_EQ(probes.load(), 1);
}

TEST(SourceProbe, NoVerdictIsKeptToo) {
  SourceVerdictCell cell;
  int probes = 0;
  cell.note([&] {
    ++probes;
    return std::optional<Retirement>();
  });
  cell.note([&] {
    ++probes;
    return std::optional<Retirement>(Retirement{"source-unavailable", "https://x.example/", std::nullopt});
  });
  EXPECT_EQ(probes, 1);
  EXPECT_FALSE(cell.get());
}

}  // namespace
}  // namespace yoxa
