#include <gtest/gtest.h>

#include <cstdlib>

#include "core/protocol_event.h"
#include "platform/process.h"

namespace yoxa {
namespace {

// Runs the native engine as the launcher would and returns its standard output.
std::string run_engine(const std::vector<std::string>& arguments, int expected_exit) {
  auto child = platform::ChildProcess::start(YOXA_ENGINE_EXE, arguments);
  EXPECT_TRUE(child.has_value());
  if (!child) return {};
  const auto code = child->wait();
  EXPECT_TRUE(child->finish_output().has_value());
  EXPECT_EQ(code.value_or(999), static_cast<std::uint32_t>(expected_exit));
  return child->standard_output();
}

TEST(SubcommandProcess, DiskFreeFallsBackToTheSystemDrive) {
  ::setenv("SystemDrive", "D:", 1);
  const std::string out = run_engine({"disk-free"}, 0);
  ::unsetenv("SystemDrive");
  const auto newline = out.find('\n');
  ASSERT_NE(newline, std::string::npos);
  const Json result = Json::parse(out.substr(0, newline));
  EXPECT_EQ(result["path"], "D:\\");
  EXPECT_TRUE(result["freeBytes"].is_null());
}

TEST(SubcommandProcess, HelloListsTheCatalogAndEndsWithDone) {
  ::setenv("ProgramFiles", "E:\\Apps", 1);
  const std::string out = run_engine({"hello"}, 0);
  ::unsetenv("ProgramFiles");
  const auto newline = out.find('\n');
  ASSERT_NE(newline, std::string::npos);
  const Json hello = Json::parse(out.substr(0, newline));
  EXPECT_EQ(hello["defaultInstallDir"], "E:\\Apps");
  EXPECT_EQ(hello["apps"].size(), 4u);
  EXPECT_EQ(out.substr(newline + 1), R"({"action":"hello","exitCode":0,"results":[],"type":"done","v":1})" "\n");
}

// Each distinct app is looked up once on its own thread; every requested id still
// gets its entry, in order (the sanitizer builds check those threads too).
TEST(SubcommandProcess, CheckUpdatesAnswersEveryRepeatedIdInOrder) {
  std::vector<std::string> ids;
  std::string apps;
  for (int i = 0; i < 300; ++i) {
    for (const char* id : {"lumen", "quill", "lumen"}) {
      ids.emplace_back(id);
      apps += std::string(id) + ",";
    }
  }
  auto child = platform::ChildProcess::start(YOXA_ENGINE_EXE, {"check-updates", "--apps", apps});
  ASSERT_TRUE(child.has_value());
  const auto code = child->wait();
  ASSERT_TRUE(child->finish_output().has_value());
  std::vector<Json> events;
  const std::string out = child->standard_output();
  for (std::size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    events.push_back(Json::parse(out.substr(start, end - start)));
  }
  ASSERT_EQ(events.size(), 3u);
  for (const Json& answer : {events[0], events[1]}) {
    ASSERT_EQ(answer["apps"].size(), ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(answer["apps"][i]["id"], ids[i]);
  }
  EXPECT_EQ(events[2]["type"], "done");
  EXPECT_EQ(code.value_or(999), events[2]["exitCode"].get<std::uint32_t>());
  // lumen is an MSIX app: the framework check runs once, and a check that cannot ask
  // PowerShell reports nothing missing.
  EXPECT_FALSE(events[0].contains("missingFrameworks"));
  EXPECT_EQ(events[1]["missingFrameworks"], Json::array());
}

TEST(SubcommandProcess, CheckUpdatesWithoutMsixAppsHasNoFrameworkList) {
  auto child = platform::ChildProcess::start(YOXA_ENGINE_EXE, {"check-updates", "--apps", "quill"});
  ASSERT_TRUE(child.has_value());
  ASSERT_TRUE(child->wait().has_value());
  ASSERT_TRUE(child->finish_output().has_value());
  const std::string out = child->standard_output();
  const auto first = out.find('\n');
  const auto second = out.find('\n', first + 1);
  ASSERT_NE(second, std::string::npos);
  const Json answer = Json::parse(out.substr(first + 1, second - first - 1));
  EXPECT_EQ(answer["type"], "update-check-result");
  EXPECT_FALSE(answer.contains("missingFrameworks"));
}

}  // namespace
}  // namespace yoxa
