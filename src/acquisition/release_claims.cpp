#include "acquisition/release_claims.h"

#include "acquisition/package_meta.h"
#include "core/base64.h"
#include "core/text.h"
#include "platform/signature.h"

namespace yoxa {

namespace {

// Exactly `count` ASCII digits at `at`, as a number.
std::optional<int> digits(std::string_view text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool is_at(std::string_view text, std::size_t at, std::string_view choices) {
  return at < text.size() && choices.find(text[at]) != std::string_view::npos;
}

}  // namespace

std::optional<std::chrono::sys_seconds> parse_rfc3339(std::string_view text) {
  using namespace std::chrono;
  // full-date "T" partial-time time-offset: 2026-12-31T23:59:59[.frac](Z|+hh:mm|-hh:mm)
  const auto year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
  const auto hour = digits(text, 11, 2), minute = digits(text, 14, 2), second = digits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second || !is_at(text, 4, "-") || !is_at(text, 7, "-") ||
      !is_at(text, 10, "Tt") || !is_at(text, 13, ":") || !is_at(text, 16, ":")) {
    return std::nullopt;
  }
  const year_month_day date{std::chrono::year(*year), std::chrono::month(static_cast<unsigned>(*month)),
                            std::chrono::day(static_cast<unsigned>(*day))};
  if (!date.ok() || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;

  std::size_t at = 19;
  if (is_at(text, at, ".")) {
    const std::size_t first = ++at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    if (at == first) return std::nullopt;
  }
  minutes offset{0};
  if (is_at(text, at, "Zz")) {
    ++at;
  } else if (is_at(text, at, "+-")) {
    const bool ahead = text[at] == '+';
    const auto offset_hours = digits(text, at + 1, 2), offset_minutes = digits(text, at + 4, 2);
    if (!offset_hours || !offset_minutes || !is_at(text, at + 3, ":") || *offset_hours > 23 || *offset_minutes > 59) {
      return std::nullopt;
    }
    offset = hours(*offset_hours) + minutes(*offset_minutes);
    if (!ahead) offset = -offset;
    at += 6;
  } else {
    return std::nullopt;
  }
  if (at != text.size()) return std::nullopt;
  const int whole_second = *second == 60 ? 59 : *second;
  return sys_days(date) + hours(*hour) + minutes(*minute) + seconds(whole_second) - offset;
}

std::expected<ReleaseClaims, std::string> read_release_claims(std::string_view text) {
  const auto value = parse_strict_json(text);
  if (!value) return std::unexpected(value.error());
  if (!value->is_object()) return std::unexpected(format("invalid type: {}, expected a meta.json object", value->type_name()));

  ReleaseClaims claims;
  const auto app = value->find("app");
  if (app == value->end()) return std::unexpected(std::string("missing field `app`"));
  if (!app->is_string() || app->get<std::string>().empty()) {
    return std::unexpected(format("invalid type: {}, expected a non-empty string for `app`", app->type_name()));
  }
  claims.app = app->get<std::string>();

  const auto expires = value->find("expires");
  if (expires == value->end()) return std::unexpected(std::string("missing field `expires`"));
  if (!expires->is_string()) {
    return std::unexpected(format("invalid type: {}, expected an RFC 3339 date-time for `expires`", expires->type_name()));
  }
  claims.expires_text = expires->get<std::string>();
  const auto when = parse_rfc3339(claims.expires_text);
  if (!when) return std::unexpected(format("`expires` \"{}\" is not an RFC 3339 date-time", claims.expires_text));
  claims.expires = *when;

  const auto sequence = value->find("sequence");
  if (sequence == value->end()) return std::unexpected(std::string("missing field `sequence`"));
  if (!sequence->is_number_unsigned()) {
    return std::unexpected(
        format("invalid type: {}, expected an unsigned 64-bit integer for `sequence`", sequence->type_name()));
  }
  claims.sequence = sequence->get<std::uint64_t>();
  return claims;
}

std::optional<std::string> decode_meta_signature(std::string_view text) {
  auto bytes = base64_decode_padded_or_not(text);
  if (!bytes || bytes->size() != platform::kP256SignatureBytes) return std::nullopt;
  return bytes;
}

}  // namespace yoxa
