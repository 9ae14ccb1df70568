#include <gtest/gtest.h>

#include "acquisition/http_request.h"
#include "fake_registry.h"
#include "log_capture.h"

namespace yoxa {
namespace {

using platform::RegistryHive;
using platform::RegistryView;
using testing::FakeRegistry;
using testing::logged_by;

TEST(HttpRequest, ProxyServerText) {
  using Address = std::pair<std::string, std::uint16_t>;
  const std::pair<const char*, std::optional<Address>> cases[] = {
      {"proxy.corp:8080", Address{"proxy.corp", 8080}},
      {"http://proxy.corp:3128", Address{"proxy.corp", 3128}},
      {"https://proxy.corp:443", Address{"proxy.corp", 443}},
      {"proxy.corp:+80", Address{"proxy.corp", 80}},
      {"proxy.corp:0", Address{"proxy.corp", 0}},
      {"proxy.corp:65535", Address{"proxy.corp", 65535}},
      {"[::1]:8080", Address{"[::1]", 8080}},
      {":8080", Address{"", 8080}},
      // The per-protocol form is not interpreted, only split at its last ':'.
      {"http=a:80;https=b:443", Address{"http=a:80;https=b", 443}},
      {"proxy.corp", std::nullopt},
      {"proxy.corp:", std::nullopt},
      {"proxy.corp:65536", std::nullopt},
      {"proxy.corp:-1", std::nullopt},
      {"proxy.corp:80 ", std::nullopt},
      {"proxy.corp:8o", std::nullopt},
      {"http://proxy.corp", std::nullopt},
  };
  for (const auto& [text, address] : cases) {
    const auto parsed = parse_proxy_server(text);
    if (address) {
      EXPECT_EQ(parsed, *address) << text;
    } else {
      ASSERT_FALSE(parsed) << text;
      EXPECT_EQ(parsed.error(), std::string("invalid proxy address: ") + text);
    }
  }
}

struct RegistryCase {
  const char* name;
  std::optional<std::uint32_t> enable;
  std::optional<std::string> server;
  std::optional<std::string> bypass;
  bool ok;
  bool enabled;
  std::string host;
  std::uint16_t port;
};

TEST(HttpRequest, ReadSystemProxyFromInternetSettings) {
  const RegistryCase cases[] = {
      {"enabled with http prefix", 1, "http://proxy.corp:3128", "<local>", true, true, "proxy.corp", 3128},
      {"disabled", 0, "proxy.corp:3128", std::nullopt, true, false, "", 0},
      {"enable missing", std::nullopt, "proxy.corp:3128", std::nullopt, true, false, "", 0},
      {"enable 2", 2, "proxy.corp:3128", std::nullopt, true, false, "", 0},
      {"server missing", 1, std::nullopt, std::nullopt, true, true, "", 0},
      {"server empty", 1, "", std::nullopt, true, true, "", 0},
      {"host without port", 1, "proxy.corp", std::nullopt, false, false, "", 0},
  };
  for (const auto& c : cases) {
    FakeRegistry registry;
    registry.add_key(RegistryHive::CurrentUser, RegistryView::Bits64, kInternetSettingsKey);
    if (c.enable) {
      registry.set_dword(RegistryHive::CurrentUser, RegistryView::Bits64, kInternetSettingsKey, "ProxyEnable",
                         *c.enable);
    }
    if (c.server) {
      registry.set_string(RegistryHive::CurrentUser, RegistryView::Bits64, kInternetSettingsKey, "ProxyServer",
                          *c.server);
    }
    if (c.bypass) {
      registry.set_string(RegistryHive::CurrentUser, RegistryView::Bits64, kInternetSettingsKey, "ProxyOverride",
                          *c.bypass);
    }
    const ProxySetting proxy = read_system_proxy(registry);
    ASSERT_EQ(proxy.has_value(), c.ok) << c.name;
    if (!proxy) continue;
    EXPECT_EQ(proxy->enabled, c.enabled) << c.name;
    EXPECT_EQ(proxy->host, c.host) << c.name;
    EXPECT_EQ(proxy->port, c.port) << c.name;
    if (c.bypass) {
      EXPECT_EQ(proxy->bypass, *c.bypass) << c.name;
    }
  }
}

TEST(HttpRequest, ProxySettingsOnlyInTheSixtyFourBitView) {
  FakeRegistry registry;
  registry.set_dword(RegistryHive::CurrentUser, RegistryView::Bits32, kInternetSettingsKey, "ProxyEnable", 1);
  registry.set_string(RegistryHive::CurrentUser, RegistryView::Bits32, kInternetSettingsKey, "ProxyServer",
                      "proxy.corp:80");
  EXPECT_FALSE(read_system_proxy(registry));  // no key in the 64-bit view: no proxy

  registry.fail_key(RegistryHive::CurrentUser, RegistryView::Bits64, kInternetSettingsKey);
  const ProxySetting denied = read_system_proxy(registry);
  ASSERT_FALSE(denied);
  EXPECT_EQ(denied.error(), FakeRegistry::access_denied().text);
}

TEST(HttpRequest, RequestCarriesAgentTimeoutAndUsableProxy) {
  const platform::HttpRequest plain = build_request("https://dl.example/a", 10, std::unexpected(std::string("x")));
  EXPECT_EQ(plain.url, "https://dl.example/a");
  EXPECT_EQ(plain.user_agent, "installer-common/0.0.0");
  EXPECT_EQ(plain.timeout_seconds, 10u);
  EXPECT_TRUE(plain.headers.empty());
  EXPECT_FALSE(plain.proxy);

  const struct {
    SystemProxy proxy;
    std::optional<std::string> expected;
  } cases[] = {
      {{"proxy.corp", 8080, true, ""}, "proxy.corp:8080"},
      {{"[fd00::1]", 3128, true, ""}, "[fd00::1]:3128"},
      {{"[::ffff:192.0.2.1]", 3128, true, ""}, "[::ffff:192.0.2.1]:3128"},
      // Invalid literals go direct, as clients would refuse them.
      {{"[0:1]", 31, true, ""}, std::nullopt},
      {{"[1::2::3]", 31, true, ""}, std::nullopt},
      {{"[12345::1]", 31, true, ""}, std::nullopt},
      {{"[::1.2.3]", 31, true, ""}, std::nullopt},
      {{"proxy.corp", 8080, false, ""}, std::nullopt},
      {{"", 8080, true, ""}, std::nullopt},
      {{"proxy.corp", 0, true, ""}, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(build_request("https://dl.example/", 600, c.proxy).proxy, c.expected) << c.proxy.host;
  }
}

TEST(HttpRequest, ProxyLogLinesForEveryRequestBuilt) {
  const SystemProxy proxy{"proxy.corp", 8080, true, "*.local;<local>"};
  std::string log = logged_by([&] {
    (void)build_request("https://a.example/", 10, proxy);
    (void)build_request("https://b.example/", 10, proxy);
  });
  const auto count = [&](const std::string& text) {
    std::size_t n = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("Using system proxy: proxy.corp:8080"), 2u) << log;
  EXPECT_EQ(count("Bypass list ignored: *.local;<local>"), 2u) << log;

  // A host the client cannot take as a proxy: warned about, and the request goes direct.
  std::optional<platform::HttpRequest> request;
  log = logged_by(
      [&] { request = build_request("https://a.example/", 10, SystemProxy{"http=a:80;https=b", 443, true, ""}); });
  EXPECT_FALSE(request->proxy);
  EXPECT_NE(log.find("proxy error: "), std::string::npos) << log;
}

}  // namespace
}  // namespace yoxa
