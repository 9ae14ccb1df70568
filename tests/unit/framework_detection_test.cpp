#include "system/framework_detection.h"

#include <gtest/gtest.h>

#include "acquisition/framework_report.h"
#include "core/places.h"
#include "log_capture.h"

namespace yoxa {
namespace {

using testing::logged_by;

TEST(FrameworkDetection, OneJoinedScriptWithQuotedNamesAndScope) {
  const std::vector<FrameworkRequest> requests{{"Microsoft.VCLibs.140.00", "14.0"}, {"O'Brien.Runtime", ""}};
  const std::string user =
      "$v = @(Get-AppxPackage -Name 'Microsoft.VCLibs.140.00' | ForEach-Object { $_.Version } | Sort-Object { "
      "[version]$_ } -Descending | Select-Object -First 1); if ($v) { 'Microsoft.VCLibs.140.00|' + $v[0] }; "
      "$v = @(Get-AppxPackage -Name 'O''Brien.Runtime' | ForEach-Object { $_.Version } | Sort-Object { [version]$_ } "
      "-Descending | Select-Object -First 1); if ($v) { 'O''Brien.Runtime|' + $v[0] }";
  EXPECT_EQ(framework_detection_script(requests, false), user);
  const std::string machine = framework_detection_script(requests, true);
  EXPECT_NE(machine.find("-Name 'Microsoft.VCLibs.140.00' -AllUsers | ForEach-Object"), std::string::npos);
  EXPECT_NE(machine.find("-Name 'O''Brien.Runtime' -AllUsers | ForEach-Object"), std::string::npos);
}

TEST(FrameworkDetection, AsksNothingAboutANameWithWildcards) {
  for (const char* name : {"*", "A?", "[A]", "A`"}) EXPECT_FALSE(is_literal_package_name(name)) << name;
  EXPECT_TRUE(is_literal_package_name("Microsoft.VCLibs.140.00.UWPDesktop"));
  int runs = 0;
  const auto detection = detect_frameworks({{"*", ""}}, false, [&](const std::string&, std::uint32_t) {
    ++runs;
    return Result<std::string>(std::string("*|99.0"));
  });
  ASSERT_TRUE(detection);
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(detection->needed, std::vector<std::string>{"*"});
  EXPECT_EQ(framework_detection_script({{"*", ""}, {"A", ""}}, false).find("'*'"), std::string::npos);
}

TEST(FrameworkDetection, ParsesNameBarVersionLines) {
  const auto installed = parse_framework_versions(
      "A|1.0\r\n  B | 2.0  \n|3.0\nC|\nno bar\nA|1.5\nD|4|5\n\n");
  const std::map<std::string, std::string> expected{{"A", "1.5"}, {"B ", " 2.0"}, {"D", "4|5"}};
  EXPECT_EQ(installed, expected);
}

TEST(FrameworkDetection, NeedRule) {
  const std::map<std::string, std::string> installed{{"Fw", "14.0.33519.0"}, {"Odd", "not-a-version"}};
  const struct {
    const char* name;
    const char* min;
    bool needed;
  } cases[] = {
      {"Absent", "", true},
      {"Absent", "1.0", true},
      {"Fw", "", false},
      {"Fw", "14.0.33519.0", false},
      {"Fw", "14.0.33519", false},  // a missing component counts as 0
      {"Fw", "14.0.33518.99", false},
      {"Fw", "14.0.33728.0", true},
      {"Fw", "14.1", true},
      {"Fw", "bogus", true},
      {"Odd", "", false},
      {"Odd", "1.0", true},
      {"fw", "", true},  // names as the query wrote them back
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " >= " + c.min);
    EXPECT_EQ(framework_needed({c.name, c.min}, installed), c.needed);
  }
}

TEST(FrameworkDetection, RunsOnceWithThirtySecondsAndKeepsRequestOrder) {
  std::vector<std::pair<std::string, std::uint32_t>> runs;
  const ScriptRunner run = [&](const std::string& script, std::uint32_t limit) -> Result<std::string> {
    runs.emplace_back(script, limit);
    return std::string("Old|1.0\nNew|9.0");
  };
  const std::vector<FrameworkRequest> requests{{"Old", "2.0"}, {"New", "2.0"}, {"Gone", ""}};
  const auto detection = detect_frameworks(requests, true, run);
  ASSERT_TRUE(detection);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].first, framework_detection_script(requests, true));
  EXPECT_EQ(runs[0].second, 30u);
  EXPECT_EQ(detection->needed, (std::vector<std::string>{"Old", "Gone"}));
  EXPECT_EQ(detection->installed.at("New"), "9.0");

  runs.clear();
  const auto empty = detect_frameworks({}, false, run);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->needed.empty());
  EXPECT_TRUE(runs.empty());
}

TEST(FrameworkDetection, AFailedCheckCountsAsNothingMissing) {
  const ScriptRunner broken = [](const std::string&, std::uint32_t) -> Result<std::string> {
    return std::unexpected(Error::same("Shell Not Responding", place::kRunnerHung));
  };
  const std::vector<FrameworkRequest> requests{{"A", ""}};
  const auto detection = detect_frameworks(requests, false, broken);
  ASSERT_FALSE(detection);
  EXPECT_EQ(detection.error().message(), "Shell Not Responding");
  std::vector<std::string> missing{"sentinel"};
  const std::string log = logged_by([&] { missing = detect_missing_frameworks(requests, broken); });
  EXPECT_TRUE(missing.empty());
  EXPECT_NE(log.find("Framework detection failed (Shell Not Responding: Shell Not Responding (4703)); assuming "
                     "frameworks present"),
            std::string::npos)
      << log;
}

TEST(MissingFrameworkTokens, ReportsTableTokensOnceInTableOrder) {
  const std::string vclibs = "Microsoft.VCLibs.140.00";
  const std::string desktop = "Microsoft.VCLibs.140.00.UWPDesktop";
  const std::string runtime = "Microsoft.WindowsAppRuntime.1.8";
  const struct {
    std::vector<std::string> needed;
    std::vector<std::string> tokens;
    std::vector<std::string> lines;
  } cases[] = {
      {{runtime, desktop, vclibs},
       {"vclibs", "winappruntime"},
       {"Missing or outdated framework dependencies (will be installed): " + vclibs + ", " + desktop + ", " + runtime}},
      {{vclibs, desktop},
       {"vclibs"},
       {"Framework dependencies already present (no install needed): " + runtime,
        "Missing or outdated framework dependencies (will be installed): " + vclibs + ", " + desktop}},
      {{runtime}, {"winappruntime"}, {}},
      {{},
       {},
       {"Framework dependencies already present (no install needed): " + vclibs + ", " + desktop + ", " + runtime,
        "All known framework dependencies are already present on this machine"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(join(c.needed, ","));
    std::vector<FrameworkRequest> asked;
    std::vector<std::string> tokens;
    const std::string log = logged_by([&] {
      tokens = missing_framework_tokens([&](const std::vector<FrameworkRequest>& requests) {
        asked = requests;
        return c.needed;
      });
    });
    EXPECT_EQ(tokens, c.tokens);
    for (const auto& line : c.lines) EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    ASSERT_EQ(asked.size(), 3u);
    EXPECT_EQ(asked[0].package_name, vclibs);
    EXPECT_EQ(asked[0].min_version, "14.0.33519.0");
    EXPECT_EQ(asked[1].min_version, "14.0.33728.0");
    EXPECT_EQ(asked[2].package_name, runtime);
    EXPECT_EQ(asked[2].min_version, "8000.625.330.0");
  }

  // Rows without a token are never reported.
  const BundledFramework untokened[] = {{.identity = "X", .file_name = "x.appx", .min_version = ""}};
  EXPECT_TRUE(missing_framework_tokens([](const auto&) { return std::vector<std::string>{"X"}; }, untokened).empty());
}

}  // namespace
}  // namespace yoxa
