#include "config/expiry.h"

#include <chrono>
#include <limits>

#include "config/retirement.h"
#include "core/text.h"
#include "core/log.h"

namespace yoxa {

namespace {
__extension__ using Wide = __int128;  // date arithmetic on any 64-bit year must not overflow

std::optional<std::int64_t> parse_decimal(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  Wide value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<std::int64_t>::max()) return std::nullopt;
  }
  return static_cast<std::int64_t>(value);
}

Wide wide_days_from_civil(Wide year, Wide month, Wide day) {
  year -= month <= 2 ? 1 : 0;
  const Wide era = (year >= 0 ? year : year - 399) / 400;
  const Wide year_of_era = year - era * 400;
  const Wide day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const Wide day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

std::int64_t saturate(Wide value) {
  if (value > std::numeric_limits<std::int64_t>::max()) return std::numeric_limits<std::int64_t>::max();
  if (value < std::numeric_limits<std::int64_t>::min()) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}
}  // namespace

std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day) {
  return saturate(wide_days_from_civil(year, month, day));
}

std::optional<std::int64_t> expiry_instant(std::string_view date) {
  const auto parts = split(date, '-');
  if (parts.size() != 3) return std::nullopt;
  const auto year = parse_decimal(parts[0]);
  const auto month = parse_decimal(parts[1]);
  const auto day = parse_decimal(parts[2]);
  if (!year || !month || !day || *month < 1 || *month > 12 || *day < 1 || *day > 31) return std::nullopt;
  return saturate((wide_days_from_civil(*year, *month, *day) + 1) * 86400);
}

std::optional<Retirement> check_expiry_at(const InstallerConfig& config, bool offline, std::int64_t now_seconds) {
  const std::optional<std::string>& date = offline ? config.expires_on_offline : config.expires_on_online;
  if (!date) return std::nullopt;
  const auto instant = expiry_instant(*date);
  if (!instant) {
    log::warn(format("expiresOn '{}' is not yyyy-mm-dd \u2014 ignoring it", *date));
    return std::nullopt;
  }
  if (now_seconds < *instant) return std::nullopt;
  log::warn(format("this installer expired on {}", *date));
  return Retirement{"expired", config.download_page_url, *date};
}

std::optional<Retirement> check_expiry() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto now = std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count());
  return check_expiry_at(load_installer_config(), offline_mode(), now);
}

}  // namespace yoxa
