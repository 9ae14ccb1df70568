#include "acquisition/url_trust.h"

#include "core/messages.h"
#include "core/places.h"
#include "core/text.h"
#include "core/log.h"
#include "core/url.h"

namespace yoxa {

namespace {

// Letters, digits, '-', '_' and '.': anything else (a backslash, '%', white space)
// is read differently by different URL parsers, so the host the client connects
// to could differ from the one checked here.
bool is_host_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.';
}

std::string normalise_suffix(std::string_view suffix) {
  std::string_view value = trim(suffix);
  while (!value.empty() && value.back() == '.') value.remove_suffix(1);
  return ascii_lower(value);
}

bool host_matches(std::string_view host, std::string_view suffix) {
  if (host == suffix) return true;
  return host.size() > suffix.size() && host.ends_with(suffix) && host[host.size() - suffix.size() - 1] == '.';
}
}  // namespace

std::optional<std::string> https_host(std::string_view url) {
  constexpr std::string_view kScheme = "https://";
  if (!url.starts_with(kScheme)) return std::nullopt;
  std::string_view authority = url.substr(kScheme.size());
  authority = authority.substr(0, authority.find_first_of("/?#"));
  // User information anywhere in the authority, even after a ':' that looks like
  // a port, means the client connects to the host after the '@'.
  if (authority.find('@') != std::string_view::npos) return std::nullopt;
  std::string_view host = authority.substr(0, authority.find(':'));
  for (const char c : host) {
    if (!is_host_character(c)) return std::nullopt;
  }
  while (!host.empty() && host.back() == '.') host.remove_suffix(1);
  // Clients read a numeric last label as an IPv4 address ("1" is 0.0.0.1, "127.1"
  // is 127.0.0.1): only the plain dotted form is compared with the suffixes.
  if (host.empty() || is_odd_numeric_host(host)) return std::nullopt;
  return ascii_lower(host);
}

Result<void> is_trusted_url(std::string_view url, std::string_view label, const std::vector<std::string>& suffixes) {
  if (const auto host = https_host(url)) {
    for (const auto& suffix : suffixes) {
      const std::string normalised = normalise_suffix(suffix);
      if (!normalised.empty() && host_matches(*host, normalised)) return {};
    }
  }
  const std::string listed = suffixes.empty() ? std::string("<empty: nothing is trusted>") : join(suffixes, ", ");
  log::error(format("refusing {}: {} is not https on a host in trustedDownloadDomains [{}]. If this is a legitimate "
                    "host, add its zone to `trustExtraSuffixes` in build/cdn/domains.json and re-run "
                    "build/sync_cdn_domains \u2014 never hand-edit the generated list.",
                    label, url, listed));
  return fail(msg::kUntrustedSource, format("{} rejected: {}", label, url), place::kTrustUntrusted);
}

Result<void> require_https(std::string_view url, std::string_view label) {
  if (https_host(url)) return {};
  log::error(format("refusing {}: {} is not a plain https URL", label, url));
  return fail(msg::kUntrustedSource, format("{} is not https: {}", label, url), place::kTrustNotHttps);
}

}  // namespace yoxa
