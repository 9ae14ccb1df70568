// The run process relaying its worker's event lines.
#include <gtest/gtest.h>

#include <sstream>

#include "front_end/relay.h"
#include "log_capture.h"

namespace yoxa {
namespace {

std::vector<Json> relayed(std::string_view line, std::vector<AppResult>& results) {
  std::string out;
  testing::logged_by([&] {
    ::testing::internal::CaptureStdout();
    relay_line(line, results);
    out = ::testing::internal::GetCapturedStdout();
  });
  std::vector<Json> events;
  std::istringstream in(out);
  for (std::string text; std::getline(in, text);) events.push_back(Json::parse(text));
  return events;
}

TEST(Relay, NestingDepthSkipsStrings) {
  const struct {
    std::string text;
    bool deeper_than_two;
  } cases[] = {
      {"[[]]", false},
      {"[[[]]]", true},
      {R"({"a":{"b":{}}})", true},
      {R"(["[[[[", "{{{{"])", false},
      {R"(["\"[[[[\\", [[]]])", true},
      {"]]]]]][[", false},
      {std::string(100000, '['), true},
  };
  for (const auto& c : cases) EXPECT_EQ(nested_deeper_than(c.text, 2), c.deeper_than_two) << c.text.substr(0, 40);
}

// A line nested far deeper than any event would overflow the stack when written
// back out; it goes out as a warning like any other line that is not an event.
TEST(Relay, DeeplyNestedLinesAreRefusedAsNotJson) {
  for (const std::string& line : {std::string(200000, '[') + std::string(200000, ']'),
                                  std::string(kMaxRelayedNesting + 1, '[') + std::string(kMaxRelayedNesting + 1, ']'),
                                  std::string("not json")}) {
    std::vector<AppResult> results;
    const auto events = relayed(line, results);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["type"], "log");
    EXPECT_EQ(events[0]["level"], "warn");
    EXPECT_EQ(events[0]["message"], line);
    EXPECT_TRUE(results.empty());
  }
  std::vector<AppResult> results;
  const std::string deepest_allowed = std::string(kMaxRelayedNesting, '[') + std::string(kMaxRelayedNesting, ']');
  const auto events = relayed(deepest_allowed, results);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].is_array());
}

TEST(Relay, AppResultsAreRecordedAndPassedOn) {
  std::vector<AppResult> results;
  auto events = relayed(R"({"type":"app-result","app":"quill","status":"installed","installedVersion":"1.2"})", results);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["app"], "quill");
  events = relayed(R"({"type":"app-result","app":"lumen","status":"exploded"})", results);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].status, AppStatus::Installed);
  EXPECT_EQ(results[0].installed_version, "1.2");
  EXPECT_EQ(results[1].status, AppStatus::Failed);
  EXPECT_TRUE(results[1].error_code.has_value());
}

}  // namespace
}  // namespace yoxa
