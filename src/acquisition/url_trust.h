#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace yoxa {

// The host of a lower-case "https://" URL, trailing dots removed and lower-cased;
// none for any other scheme, user information, IPv6 literals, numeric hosts other
// than a plain dotted IPv4 address, or characters that have no place in a DNS name.
std::optional<std::string> https_host(std::string_view url);

// Success when the URL is https on a host that equals one of the suffixes or lies
// below one (whole labels only); otherwise logs and returns the untrusted-source error.
Result<void> is_trusted_url(std::string_view url, std::string_view label, const std::vector<std::string>& suffixes);

// The https rule alone, for URLs that no suffix list governs.
Result<void> require_https(std::string_view url, std::string_view label);

}  // namespace yoxa
