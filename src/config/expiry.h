#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

#include "config/installer_config.h"
#include "core/retirement.h"

namespace yoxa {

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12; a day past the
// month's end rolls into the next month).
std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day);

// The first second after the date's last day, UTC; none when the text is not
// yyyy-mm-dd (digits, optional "+", month 1-12, day 1-31).
std::optional<std::int64_t> expiry_instant(std::string_view date);

// Expired at `now` (seconds since 1970-01-01 UTC) for the mode the process runs in.
std::optional<Retirement> check_expiry_at(const InstallerConfig& config, bool offline, std::int64_t now_seconds);
// The same for this process, on the system clock.
std::optional<Retirement> check_expiry();

}  // namespace yoxa
