#include "acquisition/cdn.h"

#include <gtest/gtest.h>

#include "core/messages.h"
#include "fake_http.h"
#include "log_capture.h"

namespace yoxa {
namespace {

using testing::FakeHttpClient;
using testing::FakeReply;
using testing::header_of;
using testing::logged_by;

const InstallerConfig kConfig = parse_installer_config(R"({
  "flavour": "default",
  "cdn": {"dataCenter": "cn", "domains": {"cn": "https://dl.yoxa.example/"}, "distributionRoot": "officesuite",
          "appsRoot": "apps", "release": "latest"},
  "trustedDownloadDomains": ["yoxa.example"]})");

const std::string kQuillDir = "https://dl.yoxa.example/officesuite/apps/default/quill/windows/x64/msi/latest";
const std::string kQuillMeta = kQuillDir + "/meta.json";
const std::string kQuillUniversalDir =
    "https://dl.yoxa.example/officesuite/apps/default/quill/windows/universal/msi/latest";

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(Cdn, PackageDirectoryUrl) {
  const auto url = package_dir_url(kConfig, *app_by_id("lumen"), "universal");
  ASSERT_TRUE(url);
  EXPECT_EQ(*url, "https://dl.yoxa.example/officesuite/apps/default/lumen/windows/universal/msixbundle/latest");
  EXPECT_EQ(package_dir_url(kConfig, *app_by_id("quill"), arch_segment(*app_by_id("quill"))), kQuillDir);

  const InstallerConfig elsewhere = parse_installer_config(R"({"cdn": {"dataCenter": "cn",
      "domains": {"eu": "https://eu.yoxa.example"}}})");
  const auto missing = package_dir_url(elsewhere, *app_by_id("quill"), "x64");
  ASSERT_FALSE(missing);
  EXPECT_EQ(code_for_error(missing.error()), ErrorKind::NetworkUnavailable);
  EXPECT_EQ(missing.error().detail(),
            "cdn.domains['cn'] is unset in installer_config.json \u2014 the installer has no CDN to download from. "
            "Add that data centre to build/cdn/domains.json and re-run build/sync_cdn_domains.");
}

TEST(Cdn, MetaRequestAsksCachesNotToAnswer) {
  FakeHttpClient client;
  client.on(kQuillMeta, FakeReply::ok("{}"));
  EXPECT_EQ(fetch_meta_text(client, kConfig, kQuillMeta), "{}");
  const auto sent = client.requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].url, kQuillMeta);
  EXPECT_EQ(header_of(sent[0], "Cache-Control"), "no-cache");
  EXPECT_EQ(sent[0].user_agent, "installer-common/0.0.0");
  EXPECT_EQ(sent[0].timeout_seconds, 10u);
}

TEST(Cdn, MetaTextOutcomes) {
  FakeReply redirected = FakeReply::ok("{}");
  redirected.final_url = "https://evil.example/meta.json";
  FakeReply redirected_404 = FakeReply::with_status(404);
  redirected_404.final_url = "http://dl.yoxa.example/meta.json";
  FakeReply broken_body = FakeReply::ok("{\"version\": \"1.0\"}");
  broken_body.fail_after = 4;

  const struct {
    const char* name;
    FakeReply reply;
    const char* message;
    std::string detail;
  } cases[] = {
      {"not found", FakeReply::with_status(404, "gone"), msg::kNotAvailableOnline, "404 for " + kQuillMeta},
      {"server error", FakeReply::with_status(503), msg::kCouldNotContactServer, "HTTP 503 for " + kQuillMeta},
      {"partial content", FakeReply::with_status(206, "{}"), msg::kCouldNotContactServer, "HTTP 206 for " + kQuillMeta},
      {"no connection", FakeReply::failure("cannot connect"), msg::kCouldNotContactServer, "cannot connect"},
      {"untrusted redirect", redirected, msg::kUntrustedSource,
       "the metadata URL rejected: https://evil.example/meta.json"},
      {"trust before status", redirected_404, msg::kUntrustedSource,
       "the metadata URL rejected: http://dl.yoxa.example/meta.json"},
      {"body read fails", broken_body, msg::kCouldNotContactServer, "connection reset by peer"},
  };
  for (const auto& c : cases) {
    FakeHttpClient client;
    client.on(kQuillMeta, c.reply);
    const auto text = fetch_meta_text(client, kConfig, kQuillMeta);
    ASSERT_FALSE(text) << c.name;
    EXPECT_EQ(text.error().message(), c.message) << c.name;
    EXPECT_EQ(text.error().detail(), c.detail) << c.name;
  }

  FakeHttpClient client;
  client.on(kQuillMeta, FakeReply::ok("{\"product\": \"\xC3\x28\"}"));
  const auto not_utf8 = fetch_meta_text(client, kConfig, kQuillMeta);
  ASSERT_FALSE(not_utf8);
  EXPECT_EQ(not_utf8.error().message(), msg::kCouldNotContactServer);
}

TEST(Cdn, MetaTextStopsAtTheLimit) {
  FakeReply large = FakeReply::ok(std::string(300000, ' '));
  large.max_read = 100000;  // the cap must hold across several reads
  FakeHttpClient client;
  client.on(kQuillMeta, large);
  const auto text = fetch_meta_text(client, kConfig, kQuillMeta);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->size(), kMetaTextLimit);
}

TEST(Cdn, OversizedMetaIsUnparseable) {
  std::string document = R"({"version": "1.0", "product": ")" + std::string(300000, 'x') + "\"}";
  FakeHttpClient client;
  client.on(kQuillMeta, FakeReply::ok(document));
  client.on(kQuillUniversalDir + "/meta.json", FakeReply::with_status(404));
  const auto lookup = fetch_package_meta(client, kConfig, "quill");
  ASSERT_FALSE(lookup);
  EXPECT_EQ(lookup.error().message(), msg::kCouldNotContactServer);
  EXPECT_TRUE(lookup.error().detail().starts_with("unparseable " + kQuillMeta + ": ")) << lookup.error().detail();
}

TEST(Cdn, PackageMetaUnderTheDeclaredArch) {
  FakeHttpClient client;
  client.on(kQuillMeta, FakeReply::ok(R"({"version": "4.2", "destination": "q.msi"})"));
  std::optional<Result<MetaLookup>> lookup;
  const std::string log = logged_by([&] { lookup = fetch_package_meta(client, kConfig, "quill"); });
  ASSERT_TRUE(lookup && *lookup);
  EXPECT_EQ((*lookup)->directory_url, kQuillDir);
  EXPECT_EQ((*lookup)->meta.version, "4.2");
  EXPECT_EQ(client.request_count(), 1u);
  EXPECT_NE(log.find("CDN meta URL for Yoxa Quill: " + kQuillMeta), std::string::npos) << log;
}

TEST(Cdn, ArchFallbackFindsThePackageOnceWithOneWarning) {
  FakeHttpClient client;
  client.on(kQuillMeta, FakeReply::with_status(404));
  client.on(kQuillUniversalDir + "/meta.json", FakeReply::ok(R"({"version": "4.2"})"));
  std::optional<Result<MetaLookup>> lookup;
  const std::string log = logged_by([&] { lookup = fetch_package_meta(client, kConfig, "quill"); });
  ASSERT_TRUE(lookup && *lookup);
  EXPECT_EQ((*lookup)->directory_url, kQuillUniversalDir);
  const std::string warning =
      "Yoxa Quill was NOT under the declared 'x64' arch segment but IS under 'universal'. The build's getdep "
      "properties and this app's cdn_arch disagree \u2014 fix cdn_arch in common/apps and protocol/catalog.json.";
  EXPECT_EQ(occurrences(log, warning), 1u) << log;
}

TEST(Cdn, ArchFallbackFailingReportsTheFirstError) {
  FakeHttpClient client;
  client.on(kQuillMeta, FakeReply::with_status(404));
  client.on(kQuillUniversalDir + "/meta.json", FakeReply::with_status(500));
  const auto lookup = fetch_package_meta(client, kConfig, "quill");
  ASSERT_FALSE(lookup);
  EXPECT_EQ(code_for_error(lookup.error()), ErrorKind::Skipped);
  EXPECT_EQ(lookup.error().detail(), "404 for " + kQuillMeta);
  EXPECT_EQ(client.request_count(), 2u);
}

TEST(Cdn, LookupsThatSendNothing) {
  FakeHttpClient client;
  const auto unknown = fetch_package_meta(client, kConfig, "Quill");
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error().message(), msg::kNotAvailableOnline);
  EXPECT_EQ(unknown.error().detail(), "unknown app id 'Quill'");

  const InstallerConfig no_origin = parse_installer_config(R"({"cdn": {"dataCenter": "cn", "domains": {}}})");
  const auto unset = fetch_package_meta(client, no_origin, "quill");
  ASSERT_FALSE(unset);
  EXPECT_EQ(code_for_error(unset.error()), ErrorKind::NetworkUnavailable);
  EXPECT_NE(unset.error().detail().find("cdn.domains['cn']"), std::string::npos);
  EXPECT_EQ(client.request_count(), 0u);
}

}  // namespace
}  // namespace yoxa
