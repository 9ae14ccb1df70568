#include <gtest/gtest.h>

#include "config/installer_config.h"

namespace yoxa {
namespace {

using Strings = std::vector<std::string>;

TEST(InstallerConfig, EmbeddedDocumentOfThisBuild) {
  const InstallerConfig config = load_installer_config();
  EXPECT_EQ(config.install_scope, InstallScope::User);
  EXPECT_TRUE(config.show_terms_step);
  EXPECT_EQ(config.expires_on_online, "2030-12-31");
  EXPECT_EQ(config.expires_on_offline, "2030-12-31");
  EXPECT_EQ(config.cdn_data_center, "cn");
  EXPECT_EQ(config.cdn_domains.size(), 1u);
  EXPECT_TRUE(cdn_base_host(config).has_value());
  EXPECT_EQ(config.trusted_download_domains.size(), 2u);
  EXPECT_TRUE(config.excluded_apps.empty());
  EXPECT_EQ(config.app_web_urls.size(), 4u);
  EXPECT_EQ(included_apps(config).size(), 4u);
}

TEST(InstallerConfig, MissingOrWronglyTypedKeysTakeDefaults) {
  for (const char* text : {"", "not json", "[]", "{\"flavour\": 7, \"showTermsStep\": \"no\", \"cdn\": 3}",
                           "{\"flavour\": \"\", \"expiresOn\": {\"online\": \"\"}}"}) {
    const InstallerConfig config = parse_installer_config(text);
    EXPECT_EQ(config.install_scope, InstallScope::User) << text;
    EXPECT_TRUE(config.show_terms_step) << text;
    EXPECT_EQ(config.flavour, "default") << text;
    EXPECT_FALSE(config.expires_on_online) << text;
    EXPECT_EQ(config.cdn_data_center, "us") << text;
    EXPECT_EQ(config.cdn_distribution_root, "officesuite") << text;
    EXPECT_EQ(config.cdn_apps_root, "apps") << text;
    EXPECT_EQ(config.cdn_release, "latest") << text;
    EXPECT_FALSE(config.cdn_release_notes_enabled) << text;
    EXPECT_EQ(config.trusted_download_domains, kDefaultTrustedDomains) << text;
    EXPECT_FALSE(config.download_page_url.empty()) << text;
    EXPECT_EQ(config.help_url, config.download_page_url) << text;
    EXPECT_FALSE(config.feedback_url.empty()) << text;
  }
}

TEST(InstallerConfig, ScopeNormalisation) {
  const std::pair<const char*, InstallScope> cases[] = {
      {R"({"installScope": "  Machine "})", InstallScope::Machine},
      {R"({"installScope": "MACHINE"})", InstallScope::Machine},
      {R"({"installScope": "everyone"})", InstallScope::User},
      {R"({"installScope": true})", InstallScope::User},
  };
  for (const auto& [text, scope] : cases) EXPECT_EQ(parse_installer_config(text).install_scope, scope) << text;
}

TEST(InstallerConfig, TrustedDomainsAreNormalisedAndAnEmptyListStaysEmpty) {
  EXPECT_EQ(parse_installer_config(R"({"trustedDownloadDomains": ["  CDN.Example.. ", "", 5, "a.b"]})")
                .trusted_download_domains,
            (Strings{"cdn.example", "a.b"}));
  EXPECT_TRUE(parse_installer_config(R"({"trustedDownloadDomains": []})").trusted_download_domains.empty());
  EXPECT_EQ(parse_installer_config(R"({"trustedDownloadDomains": "x"})").trusted_download_domains,
            kDefaultTrustedDomains);
}

TEST(InstallerConfig, CdnDomainsAppsAndWebUrls) {
  const InstallerConfig config = parse_installer_config(R"({
    "cdn": {"dataCenter": "eu", "domains": {"eu": "https://cdn.example//", "us": 4}},
    "apps": {"folio": {"included": false}, "lumen": {"included": "false"}, "quill": {}, "abacus": 1},
    "appWebUrls": {"quill": "https://q.example/", "folio": "", "lumen": 3}
  })");
  EXPECT_EQ(cdn_base_host(config), "https://cdn.example");
  EXPECT_EQ(config.cdn_domains.size(), 1u);
  EXPECT_EQ(config.excluded_apps, (Strings{"folio"}));
  std::vector<std::string> included;
  for (const auto* app : included_apps(config)) included.emplace_back(app->id);
  EXPECT_EQ(included, (Strings{"quill", "abacus", "lumen"}));
  ASSERT_EQ(config.app_web_urls.size(), 1u);
  EXPECT_EQ(config.app_web_urls[0].first, "quill");
}

TEST(InstallerConfig, SummaryLine) {
  const InstallerConfig config =
      parse_installer_config(R"({"installScope": "machine", "showTermsStep": false, "cdn": {"dataCenter": "xx"}})");
  EXPECT_FALSE(cdn_base_host(config).has_value());
  EXPECT_EQ(config_summary_line(config),
            "installer_config.json (embedded): installScope resolved to Machine, showTermsStep=false, "
            "flavour=default, cdn dataCenter=xx, cdn base=(unset!), trustedDownloadDomains=4");
}

}  // namespace
}  // namespace yoxa
