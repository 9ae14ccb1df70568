#include <gtest/gtest.h>

#include "config/expiry.h"

namespace yoxa {
namespace {

constexpr std::int64_t kDay = 86400;

TEST(Expiry, CivilDayCount) {
  EXPECT_EQ(days_from_civil(1970, 1, 1), 0);
  EXPECT_EQ(days_from_civil(2000, 3, 1), 11017);
  EXPECT_EQ(days_from_civil(1969, 12, 31), -1);
  EXPECT_EQ(days_from_civil(2030, 2, 31), days_from_civil(2030, 3, 3));  // rolls into March
}

TEST(Expiry, DateTexts) {
  const std::int64_t end_of_2030 = days_from_civil(2031, 1, 1) * kDay;
  const struct {
    const char* text;
    std::optional<std::int64_t> instant;
  } cases[] = {
      {"2030-12-31", end_of_2030},
      {"+2030-12-31", end_of_2030},
      {"2030-1-5", days_from_civil(2030, 1, 6) * kDay},
      {"2030-02-31", days_from_civil(2030, 3, 4) * kDay},
      {"2030/12/31", std::nullopt},
      {"2030-12", std::nullopt},
      {"2030-12-31-1", std::nullopt},
      {"2030-13-01", std::nullopt},
      {"2030-12-32", std::nullopt},
      {"2030-00-10", std::nullopt},
      {"2030- 1-10", std::nullopt},
      {"-2030-12-31", std::nullopt},
      {"99999999999999999999-1-1", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(expiry_instant(c.text), c.instant) << c.text;
  // A year near the 64-bit limit neither overflows nor expires.
  EXPECT_EQ(expiry_instant("9223372036854775807-12-31"), std::numeric_limits<std::int64_t>::max());
}

TEST(Expiry, ValidThroughTheLastUtcSecondOfTheDate) {
  InstallerConfig config = parse_installer_config(
      R"({"downloadPageUrl": "https://get.example/", "expiresOn": {"online": "2030-12-31", "offline": "2040-01-01"}})");
  const std::int64_t midnight = days_from_civil(2031, 1, 1) * kDay;
  EXPECT_FALSE(check_expiry_at(config, false, midnight - 1));
  const auto retired = check_expiry_at(config, false, midnight);
  ASSERT_TRUE(retired);
  EXPECT_EQ(retired->reason, "expired");
  EXPECT_EQ(retired->download_url, "https://get.example/");
  EXPECT_EQ(retired->expires_on, "2030-12-31");
  EXPECT_FALSE(check_expiry_at(config, true, midnight));  // offline looks only at its own date

  config.expires_on_online = "31.12.2030";
  EXPECT_FALSE(check_expiry_at(config, false, midnight * 2));
  config.expires_on_online.reset();
  EXPECT_FALSE(check_expiry_at(config, false, midnight * 2));
}

}  // namespace
}  // namespace yoxa
