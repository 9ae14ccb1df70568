// Pure URL logic: reference resolution for redirects and address literals.
#include <gtest/gtest.h>

#include "core/url.h"

namespace yoxa {
namespace {

// The normal and abnormal examples of RFC 3986, section 5.4, plus hostile shapes.
TEST(Url, ResolvesReferencesAgainstTheBase) {
  const std::string base = "http://a/b/c/d;p?q";
  const std::pair<const char*, const char*> cases[] = {
      {"g:h", "g:h"},
      {"g", "http://a/b/c/g"},
      {"./g", "http://a/b/c/g"},
      {"g/", "http://a/b/c/g/"},
      {"/g", "http://a/g"},
      {"//g", "http://g"},
      {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},
      {"#s", "http://a/b/c/d;p?q"},
      {"g#s", "http://a/b/c/g"},
      {"", "http://a/b/c/d;p?q"},
      {".", "http://a/b/c/"},
      {"..", "http://a/b/"},
      {"../g", "http://a/b/g"},
      {"../../g", "http://a/g"},
      {"../../../../g", "http://a/g"},
      {"/./g", "http://a/g"},
      {"/../g", "http://a/g"},
      {"g.", "http://a/b/c/g."},
      {"..g", "http://a/b/c/..g"},
      {"./../g", "http://a/b/g"},
      {"g/./h", "http://a/b/c/g/h"},
      {"g/../h", "http://a/b/c/h"},
      {"g;x=1/../y", "http://a/b/c/y"},
      {"g?y/./x", "http://a/b/c/g?y/./x"},
      {"http:g", "http:g"},
      {"//222222222", "http://222222222"},
      {"https://h/%2e%2e/x", "https://h/%2e%2e/x"},
  };
  for (const auto& [reference, expected] : cases) EXPECT_EQ(resolve_reference(base, reference), expected) << reference;
  EXPECT_EQ(resolve_reference("https://h", "x"), "https://h/x");
}

TEST(Url, SplitsIntoParts) {
  const UrlParts parts = split_url("https://h:1/p/q?x=1#f");
  EXPECT_EQ(parts.scheme, "https");
  EXPECT_EQ(parts.authority, "h:1");
  EXPECT_EQ(parts.path, "/p/q");
  EXPECT_EQ(parts.query, "x=1");
  EXPECT_EQ(remove_dot_segments("/a/b/../../../c/./d"), "/c/d");
}

TEST(Url, Ipv6AddressLiterals) {
  const std::pair<const char*, bool> cases[] = {
      {"::", true},
      {"::1", true},
      {"fd00::1", true},
      {"1:2:3:4:5:6:7:8", true},
      {"1:2:3:4:5:6:7::", true},
      {"::2:3:4:5:6:7:8", true},
      {"::ffff:192.0.2.1", true},
      {"1:2:3:4:5:6:192.0.2.1", true},
      {"ABCD:ef01::", true},
      {"0:1", false},
      {"1:2:3:4:5:6:7", false},
      {"1:2:3:4:5:6:7:8:9", false},
      {"1:2:3:4:5:6:7:8::", false},
      {"1::2::3", false},
      {":::", false},
      {":1::", false},
      {"1::2:", false},
      {"12345::", false},
      {"g::", false},
      {"::1.2.3", false},
      {"::1.2.3.256", false},
      {"::01.2.3.4", false},
      {"::1.2.3.4:5", false},
      {"1.2.3.4::", false},
      {"fe80::1%25eth0", false},
      {"", false},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(is_ipv6_address(text), valid) << text;
}

TEST(Url, NumericHostsOtherThanAPlainDottedAddress) {
  const std::pair<const char*, bool> cases[] = {
      {"1", true},          {"222222222", true},  {"127.1", true},       {"0x7f.0.0.1", true},
      {"1.2.3.0x4", true},  {"192.0.2.010", true}, {"example.1", true},  {"0x", true},
      {"192.0.2.7", false}, {"10.192.0.2.7", false}, {"192.0.2.7.", false}, {"example", false},
      {"1.example", false}, {"1.2.3.4.5", false},        {"x.0xg", false},      {"", false},
  };
  for (const auto& [host, odd] : cases) EXPECT_EQ(is_odd_numeric_host(host), odd) << host;
}

}  // namespace
}  // namespace yoxa
