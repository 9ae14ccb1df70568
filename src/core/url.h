#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace yoxa {

// A URL cut into the parts that reference resolution works on; the fragment is gone.
struct UrlParts {
  std::string scheme;
  std::optional<std::string> authority;
  std::string path;
  std::optional<std::string> query;
};

UrlParts split_url(std::string_view url);
// The path with "." and ".." segments applied.
std::string remove_dot_segments(std::string_view path);
// A Location value resolved against the URL that sent it.
std::string resolve_reference(const std::string& base_url, const std::string& reference);

// The text between the brackets of an IPv6 literal: eight groups of one to four hex
// digits, one "::" standing for one or more zero groups, and an optional dotted IPv4
// address as the last two. Zone identifiers are not accepted.
bool is_ipv6_address(std::string_view text);
// Four decimal octets 0-255 without leading zeros.
bool is_ipv4_dotted(std::string_view text);
// True when clients would read the host as an IPv4 address in some form other than
// four plain decimal octets: its last label is a number (decimal, or hexadecimal
// after "0x") and its last four labels are not a plain dotted address ("1",
// "222222222", "127.1", "0x7f.0.0.1", "192.0.2.010").
bool is_odd_numeric_host(std::string_view host);

}  // namespace yoxa
