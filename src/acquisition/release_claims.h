#pragma once
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace yoxa {

// What a signed meta.json says about itself, beyond the package: which app it is for,
// until when it may be believed, and its place in the publisher's series for that app.
struct ReleaseClaims {
  std::string app;
  std::string expires_text;
  std::chrono::sys_seconds expires;
  std::uint64_t sequence = 0;
};

// `app` (a non-empty string), `expires` (an RFC 3339 date-time) and `sequence` (an
// unsigned 64-bit integer) of a meta.json; the first problem as text otherwise. The
// document is held to the same strict JSON rules as any meta.json (a member written
// twice is an error).
std::expected<ReleaseClaims, std::string> read_release_claims(std::string_view text);

// An RFC 3339 date-time ("2026-12-31T23:59:59Z", "2026-12-31T23:59:59.5+01:00"), as UTC
// seconds (a fraction is dropped, a leap second counts as :59); none when it is not one.
std::optional<std::chrono::sys_seconds> parse_rfc3339(std::string_view text);

// The content of meta.json.sig: base64 (padding optional, surrounding blanks ignored) of
// a raw 64-byte r||s signature; none when it is not one.
std::optional<std::string> decode_meta_signature(std::string_view text);

}  // namespace yoxa
