// The run process's own decisions: request checks, elevation, payload, exit codes,
// filled-in results and the launcher's stdin commands.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/app_table.h"
#include "front_end/run_outcome.h"
#include "front_end/run_request.h"
#include "front_end/stdin_commands.h"
#include "front_end/worker_payload.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

std::vector<const AppDescriptor*> all_apps() {
  std::vector<const AppDescriptor*> apps;
  for (const AppDescriptor& row : app_table()) apps.push_back(&row);
  return apps;
}

std::vector<Json> lines_of(const std::string& text) {
  std::vector<Json> events;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) events.push_back(Json::parse(line));
  return events;
}

TEST(RunRequest, ArgumentsAreCheckedInOrder) {
  const struct {
    FlagMap flags;
    std::string error;  // empty: accepted
  } cases[] = {
      {{}, "run requires --action install|update|uninstall"},
      {{{"action", "repair"}, {"apps", "nope"}}, "--action must be install, update or uninstall (got 'repair')"},
      {{{"action", "install"}, {"apps", "quill,nope"}, {"scope", "all"}},
       "Invalid app id 'nope'. Expected one of: quill, abacus, lumen, folio"},
      {{{"action", "install"}, {"scope", "all"}}, "--scope must be user or machine (got 'all')"},
      {{{"action", "update"}, {"scope", " Machine "}}, ""},
      {{{"action", "install"}, {"scope", ""}}, ""},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_run_request(c.flags, all_apps(), InstallScope::User);
    if (c.error.empty()) {
      EXPECT_TRUE(parsed);
    } else {
      ASSERT_FALSE(parsed) << c.error;
      EXPECT_EQ(parsed.error(), c.error);
    }
  }
}

TEST(RunRequest, ScopeStrictAndSelection) {
  const auto parsed = parse_run_request({{"action", "update"}, {"scope", " MACHINE "}, {"strict", "True"},
                                         {"apps", "folio, quill"}},
                                        all_apps(), InstallScope::User);
  const auto& request = *parsed;
  EXPECT_EQ(request.action, RunAction::Update);
  EXPECT_EQ(request.scope, InstallScope::Machine);
  EXPECT_FALSE(request.strict) << "only the exact value true counts";
  EXPECT_EQ(selected_ids(request.apps), (std::vector<std::string>{"folio", "quill"}));

  const auto defaulted = *(
      parse_run_request({{"action", "install"}, {"strict", "true"}}, all_apps(), InstallScope::Machine));
  EXPECT_EQ(defaulted.scope, InstallScope::Machine) << "the configured scope";
  EXPECT_TRUE(defaulted.strict);
  EXPECT_EQ(defaulted.apps.size(), app_table().size());
}

TEST(RunRequest, ElevationDecision) {
  const struct {
    RunAction action;
    InstallScope scope;
    std::vector<std::string> apps;
    bool elevated;
    bool uninstall_admin;
    bool machine_only_in_selection;
    bool needs;
  } cases[] = {
      {RunAction::Install, InstallScope::User, {"quill"}, false, false, false, false},
      {RunAction::Install, InstallScope::User, {"quill", "folio"}, false, false, true, true},
      {RunAction::Install, InstallScope::User, {"folio"}, true, false, true, false},
      {RunAction::Install, InstallScope::Machine, {"quill"}, false, false, true, true},
      {RunAction::Install, InstallScope::Machine, {}, false, false, false, true},
      {RunAction::Install, InstallScope::Machine, {"quill"}, true, false, true, false},
      {RunAction::Uninstall, InstallScope::User, {"quill"}, false, true, false, true},
      {RunAction::Uninstall, InstallScope::User, {"quill"}, true, true, false, false},
      {RunAction::Install, InstallScope::User, {"quill"}, false, true, false, false},
  };
  for (const auto& c : cases) {
    RunRequest request;
    request.action = c.action;
    request.scope = c.scope;
    for (const auto& id : c.apps) request.apps.push_back(app_by_id(id));
    const auto decision = decide_elevation(request, c.elevated, c.uninstall_admin);
    EXPECT_EQ(decision.machine_only_in_selection, c.machine_only_in_selection) << ::testing::PrintToString(c.apps);
    EXPECT_EQ(decision.needs_elevation, c.needs) << ::testing::PrintToString(c.apps) << " elevated=" << c.elevated;
  }
}

TEST(RunRequest, PayloadReachesTheWorkerIntact) {
  RunRequest request;
  request.action = RunAction::Update;
  request.scope = InstallScope::Machine;
  request.apps = {app_by_id("quill"), app_by_id("folio")};
  const std::string encoded =
      encode_worker_payload(request, "C:\\Temp\\YoxaOfficeEngineRun-42.lock", "\\\\.\\pipe\\Yoxa\\YoxaOffice\\EngineRun-42",
                            {"folio"});
  EXPECT_EQ(encoded.find('='), std::string::npos);
  const std::string text = decode_worker_payload(encoded);
  ASSERT_TRUE(text.starts_with("JSONRUN:"));
  const auto payload = parse_json_run_payload(std::string_view(text).substr(8));
  ASSERT_TRUE(payload);
  EXPECT_EQ(payload->action, "update");
  EXPECT_EQ(payload->quit_file, "C:\\Temp\\YoxaOfficeEngineRun-42.lock");
  EXPECT_EQ(payload->apps, (std::vector<std::string>{"quill", "folio"}));
  EXPECT_EQ(payload->pipe_name, "\\\\.\\pipe\\Yoxa\\YoxaOffice\\EngineRun-42");
  EXPECT_EQ(payload->scope, InstallScope::Machine);
  EXPECT_EQ(payload->per_user_precheck, (std::vector<std::string>{"folio"}));
}

AppResult result(const char* app, AppStatus status) {
  return status == AppStatus::Failed ? AppResult::failed(app, "INSTALL_FAILED") : AppResult::plain(app, status);
}

TEST(RunOutcome, WorkerExitCode) {
  using S = AppStatus;
  const struct {
    std::vector<AppStatus> statuses;
    bool cancelled;
    int code;
  } cases[] = {
      {{}, false, 0},
      {{S::Installed, S::Skipped}, false, 0},
      {{S::Installed, S::Failed}, false, 1},
      {{S::Failed, S::Failed}, false, 2},
      {{S::Installed, S::Cancelled}, false, 1},
      {{S::Cancelled, S::Cancelled}, false, 1},
      {{S::Failed, S::Cancelled}, false, 2},
      {{S::Installed}, true, 1},
      {{}, true, 1},
      {{S::Updated, S::Failed, S::Cancelled}, false, 1},
  };
  for (const auto& c : cases) {
    std::vector<AppResult> results;
    for (const auto status : c.statuses) results.push_back(result("quill", status));
    EXPECT_EQ(worker_exit_code(results, c.cancelled), c.code) << results.size() << " cancelled=" << c.cancelled;
  }
}

TEST(RunOutcome, FinishRunFillsInMissingResultsAndEndsWithDone) {
  const struct {
    const char* action;
    bool strict;
    int worker_code;
    std::vector<AppResult> relayed;
    int exit_code;
    std::vector<std::string> filled;  // "app status code"
  } cases[] = {
      {"install", false, 0, {result("quill", AppStatus::Installed)}, 0, {"folio installed -"}},
      {"uninstall", false, 0, {}, 0, {"quill uninstalled -", "folio uninstalled -"}},
      {"install", false, 2, {result("quill", AppStatus::Installed)}, 2, {"folio failed INSTALL_FAILED"}},
      {"uninstall", false, 1, {result("folio", AppStatus::Uninstalled)}, 1, {"quill failed UNINSTALL_FAILED"}},
      {"install", true, 1, {result("quill", AppStatus::Installed), result("folio", AppStatus::Failed)}, 2, {}},
      {"install", true, 0, {result("quill", AppStatus::Installed), result("folio", AppStatus::Skipped)}, 0, {}},
  };
  for (const auto& c : cases) {
    std::vector<AppResult> results = c.relayed;
    ::testing::internal::CaptureStdout();
    const int code = finish_run(c.action, c.strict, c.worker_code, {"quill", "folio"}, results);
    const auto events = lines_of(::testing::internal::GetCapturedStdout());
    EXPECT_EQ(code, c.exit_code) << c.action << " strict=" << c.strict;
    std::vector<std::string> filled;
    for (const Json& event : events) {
      if (event["type"] != "app-result") continue;
      filled.push_back(event["app"].get<std::string>() + " " + event["status"].get<std::string>() + " " +
                       (event["errorCode"].is_null() ? "-" : event["errorCode"].get<std::string>()));
    }
    EXPECT_EQ(filled, c.filled) << c.action;
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["type"], "done");
    EXPECT_EQ(events.back()["exitCode"], c.exit_code);
    EXPECT_EQ(events.back()["results"].size(), 2u);
    EXPECT_EQ(results.size(), 2u);
  }
}

TEST(StdinCommands, OnlyAWholeRunCancelRemovesTheQuitFile) {
  const struct {
    std::string line;
    bool quit_file_remains;
    std::string emitted;  // a log event's message, if any
    std::string logged;   // a fragment of the log, if any
  } cases[] = {
      {R"({"type":"cancel"})", false, "", "cancel received via stdin"},
      {"  {\"type\":\"cancel\",\"app\":null}\r", false, "", "cancel received via stdin"},
      {R"({"type":"cancel","app":"quill"})", true, "per-app cancel is not supported on Windows; use whole-run cancel",
       ""},
      {R"({"type":"prompt-response","id":"uac-1"})", true, "", ""},
      {"   ", true, "", ""},
      {"not json", true, "", "undecodable stdin line: "},
      {R"({"type":"pause"})", true, "", "unknown stdin command: pause"},
      {R"({"kind":"cancel"})", true, "", "unknown stdin command: <missing>"},
      {R"([1,2])", true, "", "unknown stdin command: <missing>"},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    const std::string quit = (dir.path() / "run.lock").string();
    std::ofstream(quit).close();
    std::string emitted;
    const std::string logged = testing::logged_by([&] {
      ::testing::internal::CaptureStdout();
      EXPECT_TRUE(handle_stdin_line(c.line, quit));
      emitted = ::testing::internal::GetCapturedStdout();
    });
    EXPECT_EQ(std::filesystem::exists(quit), c.quit_file_remains) << c.line;
    if (c.emitted.empty()) {
      EXPECT_EQ(emitted, "") << c.line;
    } else {
      const auto events = lines_of(emitted);
      ASSERT_EQ(events.size(), 1u) << c.line;
      EXPECT_EQ(events[0]["message"], c.emitted);
      EXPECT_EQ(events[0]["level"], "warn");
    }
    if (c.logged.empty()) {
      EXPECT_EQ(logged.find("stdin"), std::string::npos) << c.line << ": " << logged;
    } else {
      EXPECT_NE(logged.find(c.logged), std::string::npos) << c.line << ": " << logged;
    }
  }
}

TEST(StdinCommands, InvalidUtf8EndsReadingAndASecondCancelIsHarmless) {
  testing::TempDir dir;
  const std::string quit = (dir.path() / "run.lock").string();
  EXPECT_FALSE(handle_stdin_line("{\"type\":\"cancel\xFF\"}", quit));
  EXPECT_TRUE(handle_stdin_line(R"({"type":"cancel"})", quit)) << "the file is already gone";
}

}  // namespace
}  // namespace yoxa
