#include <gtest/gtest.h>

#include <thread>

#include "core/event_sink.h"
#include "core/protocol_event.h"

namespace yoxa {
namespace {

TEST(ProtocolEvents, CompactSortedWireForm) {
  AppResult installed = AppResult::plain("quill", AppStatus::Installed);
  installed.installed_version = "1.2.3";
  EXPECT_EQ(to_wire(app_result_object(installed)),
            R"({"app":"quill","errorCode":null,"installedPath":null,"installedVersion":"1.2.3","status":"installed",)"
            R"("type":"app-result","v":1})");
  EXPECT_EQ(to_wire(app_result_object(AppResult::failed("folio", "DISK_SPACE"))),
            R"({"app":"folio","errorCode":"DISK_SPACE","installedPath":null,"installedVersion":null,)"
            R"("status":"failed","type":"app-result","v":1})");
}

TEST(ProtocolEvents, ProgressClampsAndShorthandHasNoDetailArgs) {
  EXPECT_EQ(to_wire(progress_event("quill", 250, false, "DOWNLOADING", std::nullopt)),
            R"({"app":"quill","detailCode":"DOWNLOADING","indeterminate":false,"percent":100,"type":"progress","v":1})");
  Json args = {{"downloadedBytes", 5}, {"totalBytes", 10}};
  EXPECT_EQ(to_wire(progress_event("lumen", 50, true, "DOWNLOADING", args)),
            R"({"app":"lumen","detailArgs":{"downloadedBytes":5,"totalBytes":10},"detailCode":"DOWNLOADING",)"
            R"("indeterminate":true,"percent":50,"type":"progress","v":1})");
}

TEST(ProtocolEvents, DoneStageAndStatusNames) {
  EXPECT_EQ(to_wire(done_event("hello", 0, {}, std::nullopt)),
            R"({"action":"hello","exitCode":0,"results":[],"type":"done","v":1})");
  Retirement retired{"expired", "https://d.example/", "2030-12-31"};
  EXPECT_EQ(to_wire(done_event("install", 2, {AppResult::plain("quill", AppStatus::Cancelled)}, retired)),
            R"({"action":"install","exitCode":2,"installerRetired":{"downloadUrl":"https://d.example/",)"
            R"("expiresOn":"2030-12-31","reason":"expired"},"results":[{"app":"quill","errorCode":null,)"
            R"("installedPath":null,"installedVersion":null,"status":"cancelled","type":"app-result","v":1}],)"
            R"("type":"done","v":1})");
  EXPECT_EQ(to_wire(stage_event("abacus", static_cast<InstallStage>(9), 1, 3)),
            R"({"app":"abacus","index":1,"stage":"download","total":3,"type":"stage","v":1})");
  EXPECT_EQ(wire_string(AppStatus::AlreadyAbsent), "already_absent");
  EXPECT_EQ(app_status_from_wire("skipped"), AppStatus::Skipped);
}

TEST(ProtocolEvents, EscapingKeepsOneLineAndInvalidUtf8IsReplaced) {
  const std::string wire = to_wire(log_event("error", "say \"hi\"\n\tand \x01 bye \xFF"));
  EXPECT_EQ(wire.find('\n'), std::string::npos);
  EXPECT_EQ(wire, "{\"level\":\"error\",\"message\":\"say \\\"hi\\\"\\n\\tand \\u0001 bye \xEF\xBF\xBD\","
                  "\"type\":\"log\",\"v\":1}");
}

// What the worker writes, the run process reads back unchanged; what a broken worker
// writes reads as a failure with a known code.
TEST(ProtocolEvents, AppResultRoundTripAndHostileFields) {
  AppResult located = AppResult::plain("quill", AppStatus::Installed);
  located.installed_path = "C:\\Apps\\quill.exe";
  located.installed_version = "1.4.2";
  for (const AppResult& written : {located, AppResult::failed("folio", "UAC_DECLINED"),
                                   AppResult::plain("lumen", AppStatus::AlreadyAbsent),
                                   AppResult::plain("abacus", AppStatus::Cancelled)}) {
    const auto read = parse_app_result(Json::parse(to_wire(app_result_object(written))));
    ASSERT_TRUE(read) << written.app;
    EXPECT_EQ(to_wire(app_result_object(*read)), to_wire(app_result_object(written)));
  }

  const struct {
    const char* line;
    const char* read;  // the result written back; null: not an app-result at all
  } cases[] = {
      {R"({"type":"progress","app":"quill"})", nullptr},
      {R"(["app-result"])", nullptr},
      {R"({"type":"app-result","app":"quill","status":"exploded"})",
       R"({"app":"quill","errorCode":"UNKNOWN","installedPath":null,"installedVersion":null,"status":"failed","type":"app-result","v":1})"},
      {R"({"type":"app-result","app":7,"status":"failed","errorCode":"NOT_A_CODE","installedPath":[1]})",
       R"({"app":"","errorCode":"UNKNOWN","installedPath":null,"installedVersion":null,"status":"failed","type":"app-result","v":1})"},
      {R"({"type":"app-result","app":"quill","status":"skipped","errorCode":"CANCELLED"})",
       R"({"app":"quill","errorCode":null,"installedPath":null,"installedVersion":null,"status":"skipped","type":"app-result","v":1})"},
  };
  for (const auto& c : cases) {
    const auto read = parse_app_result(Json::parse(c.line));
    if (!c.read) {
      EXPECT_FALSE(read) << c.line;
      continue;
    }
    ASSERT_TRUE(read) << c.line;
    EXPECT_EQ(to_wire(app_result_object(*read)), c.read) << c.line;
  }
}

TEST(EventSink, DeliversInOrderAndClosesWithTheLastHolder) {
  auto [sink, receiver] = make_event_channel();
  std::vector<std::string> received;
  std::thread consumer([&, r = std::move(receiver)]() mutable {
    while (auto text = r.receive()) received.push_back(*text);
  });
  {
    EventSink copy = sink;
    std::thread producer([copy] {
      for (int i = 0; i < 100; ++i) copy.progress("quill", static_cast<std::uint64_t>(i), "INSTALLING");
    });
    producer.join();
  }
  sink.stage("quill", InstallStage::Install, 0, 1);
  sink.app_result(AppResult::plain("quill", AppStatus::Installed));
  { [[maybe_unused]] EventSink last = std::move(sink); }
  consumer.join();
  ASSERT_EQ(received.size(), 102u);
  EXPECT_NE(received[99].find("\"percent\":99"), std::string::npos);
  EXPECT_NE(received[100].find("\"type\":\"stage\""), std::string::npos);
  EXPECT_NE(received[101].find("\"type\":\"app-result\""), std::string::npos);
}

TEST(EventSink, SendingAfterTheReceiverLeftDropsTheEvent) {
  auto channel = make_event_channel();
  { EventReceiver gone = std::move(channel.second); }
  channel.first.log("info", "nobody listens");  // must neither block nor crash
  SUCCEED();
}

}  // namespace
}  // namespace yoxa
