#include "silent/session_relaunch.h"

#include <gtest/gtest.h>

#include "core/base64.h"
#include "fake_registry.h"
#include "fake_sessions.h"
#include "log_capture.h"
#include "silent/run_record.h"

namespace yoxa {
namespace {

using platform::RegistryHive;
using platform::RegistryView;
using platform::TokenAccount;
using testing::FakeRegistry;
using testing::FakeSessions;
using testing::logged_by;

constexpr const char* kExe = "C:\\Program Files\\Yoxa\\YoxaOfficeInstaller.exe";

SilentOptions user_scope(SilentMode mode) {
  SilentOptions options;
  options.silent = true;
  options.mode = mode;
  options.apps = {"quill"};
  options.scope = InstallScope::User;
  return options;
}

struct Relaunch {
  FakeSessions sessions;
  FakeRegistry registry;
  std::string exe = kExe;
  std::optional<std::string> log_directory;
  int policy_calls = 0;
  std::optional<int> result;
  std::string log;

  Relaunch& run(SilentMode mode = SilentMode::Install) {
    const RelaunchHost host{.sessions = sessions,
                            .registry = registry,
                            .own_executable = [this] { return exe; },
                            .ensure_sideloading_policy = [this] { ++policy_calls; }};
    SilentOptions options = user_scope(mode);
    options.log_directory = log_directory;
    log = logged_by([&] { result = relaunch_as_session_user(options, host); });
    return *this;
  }
  std::optional<platform::RegistryValue> record(const std::string& name) {
    return *registry.value(RegistryHive::LocalMachine, RegistryView::Bits64, std::string(kRunRecordKey), name);
  }
};

TEST(SessionRelaunch, UsesTheFirstActiveSessionOfARealUserAndRecordsTheChildsCode) {
  Relaunch relaunch;
  relaunch.sessions.sessions = {
      {0, true, TokenAccount::LocalSystem}, {1, false, TokenAccount::Other},      // disconnected user first
      {2, true, std::nullopt},              {3, true, TokenAccount::LocalService},  // no token; a service
      {4, true, TokenAccount::NetworkService}, {5, true, TokenAccount::Other},     {6, true, TokenAccount::Other},
  };
  relaunch.sessions.child_exit = 7u;
  relaunch.run();

  EXPECT_EQ(relaunch.result, 7);
  EXPECT_EQ(relaunch.sessions.started_in, 5u);
  EXPECT_TRUE(relaunch.sessions.started_with_environment);
  EXPECT_EQ(relaunch.policy_calls, 1);
  const std::string head = std::string("\"") + kExe + "\" ";
  ASSERT_TRUE(relaunch.sessions.command_line.starts_with(head));
  EXPECT_EQ(base64_decode_unpadded(relaunch.sessions.command_line.substr(head.size())), "SILENT:quill||user");
  EXPECT_NE(relaunch.log.find("Silent install requested user scope while running as LocalSystem; relaunching in "
                              "session 5 as the logged-on user."),
            std::string::npos);
  EXPECT_EQ(relaunch.sessions.alive, 0);

  EXPECT_EQ(relaunch.record("LastRunMode")->text, "install");
  EXPECT_EQ(relaunch.record("LastRunExitCode")->number, 7u);
}

// The parent never sees the copy's per-app results: the record must not pair this run's
// code with an earlier run's statuses, nor drop the restart the copy asked for.
TEST(SessionRelaunch, TheRecordFollowsTheChildsCodeAndClearsTheSelectedAppsEarlierStatuses) {
  const struct {
    std::uint32_t child_exit;
    std::uint64_t reboot;
  } cases[] = {{0, 0}, {1, 0}, {2, 0}, {6, 1}, {7, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.child_exit);
    Relaunch relaunch;
    const std::string apps_key(kRunRecordAppsKey);
    relaunch.registry.set_string(RegistryHive::LocalMachine, RegistryView::Bits64, apps_key, "quill", "failed");
    relaunch.registry.set_string(RegistryHive::LocalMachine, RegistryView::Bits64, apps_key, "folio", "installed");
    relaunch.sessions.sessions = {{1, true, TokenAccount::Other}};
    relaunch.sessions.child_exit = c.child_exit;
    relaunch.run();

    EXPECT_EQ(relaunch.result, static_cast<int>(c.child_exit));
    EXPECT_EQ(relaunch.record("LastRunExitCode")->number, c.child_exit);
    EXPECT_EQ(relaunch.record("RebootRequired")->number, c.reboot);
    EXPECT_FALSE(*relaunch.registry.value(RegistryHive::LocalMachine, RegistryView::Bits64, apps_key, "quill"));
    EXPECT_EQ((*relaunch.registry.value(RegistryHive::LocalMachine, RegistryView::Bits64, apps_key, "folio"))->text,
              "installed");  // not part of this run
  }
}

TEST(SessionRelaunch, UninstallNeedsNoSideloadingPolicy) {
  Relaunch relaunch;
  relaunch.sessions.sessions = {{1, true, TokenAccount::Other}};
  relaunch.run(SilentMode::Uninstall);
  EXPECT_EQ(relaunch.result, 0);
  EXPECT_EQ(relaunch.policy_calls, 0);
  EXPECT_EQ(relaunch.record("LastRunMode")->text, "uninstall");
}

TEST(SessionRelaunch, WithoutARealUsersActiveSessionNothingIsAttempted) {
  const struct {
    const char* name;
    std::vector<FakeSessions::Session> sessions;
    bool list_fails;
  } cases[] = {
      {"no session", {}, false},
      {"only disconnected", {{1, false, TokenAccount::Other}}, false},
      {"only services", {{0, true, TokenAccount::LocalSystem}, {3, true, TokenAccount::NetworkService}}, false},
      {"no token", {{1, true, std::nullopt}}, false},
      {"list fails", {{1, true, TokenAccount::Other}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Relaunch relaunch;
    relaunch.sessions.sessions = c.sessions;
    relaunch.sessions.list_fails = c.list_fails;
    const int calls_before = relaunch.registry.calls();
    relaunch.run();
    EXPECT_FALSE(relaunch.result);
    EXPECT_FALSE(relaunch.sessions.started_in);
    EXPECT_EQ(relaunch.policy_calls, 0);
    EXPECT_EQ(relaunch.registry.calls(), calls_before);  // the fallback run writes the record itself
    EXPECT_EQ(relaunch.sessions.alive, 0);
    EXPECT_EQ(relaunch.log.find("WTSEnumerateSessionsW failed; cannot locate a user session for per-user relaunch") !=
                  std::string::npos,
              c.list_fails);
  }
}

TEST(SessionRelaunch, FailuresEndInTwoInTheRecordWithEverythingReleased) {
  const struct {
    const char* name;
    void (*arrange)(Relaunch&);
    const char* line;
  } cases[] = {
      {"duplicate", [](Relaunch& r) { r.sessions.duplicate_fails = true; },
       "DuplicateTokenEx failed for per-user relaunch"},
      {"no exe", [](Relaunch& r) { r.exe.clear(); }, "Failed to determine current_exe for per-user relaunch"},
      {"exe not unicode", [](Relaunch& r) { r.exe = "C:\\\xff.exe"; },
       "Failed to determine current_exe for per-user relaunch"},
      {"start", [](Relaunch& r) { r.sessions.start_error = 5; },
       "CreateProcessAsUserW failed for per-user relaunch: 0x80070005"},
      {"exit code", [](Relaunch& r) { r.sessions.child_exit = std::unexpected(platform::OsError{6, "bad handle"}); },
       "GetExitCodeProcess failed for relaunched child: -2147024890"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Relaunch relaunch;
    relaunch.sessions.sessions = {{1, true, TokenAccount::Other}};
    c.arrange(relaunch);
    relaunch.run();
    EXPECT_EQ(relaunch.result, 2);
    EXPECT_NE(relaunch.log.find(c.line), std::string::npos) << relaunch.log;
    EXPECT_EQ(relaunch.record("LastRunExitCode")->number, 2u);
    EXPECT_EQ(relaunch.sessions.alive, 0);
  }
}

TEST(SessionRelaunch, WithoutTheUsersEnvironmentTheChildStillStarts) {
  Relaunch relaunch;
  relaunch.sessions.sessions = {{1, true, TokenAccount::Other}};
  relaunch.sessions.environment_fails = true;
  relaunch.sessions.child_exit = 1u;
  relaunch.run();
  EXPECT_EQ(relaunch.result, 1);
  EXPECT_EQ(relaunch.sessions.started_in, 1u);
  EXPECT_FALSE(relaunch.sessions.started_with_environment);
  EXPECT_NE(relaunch.log.find("CreateEnvironmentBlock failed; child will inherit a minimal environment"),
            std::string::npos);
  EXPECT_EQ(relaunch.record("LastRunExitCode")->number, 1u);
}

// A management agent may stage the engine where only LocalSystem can read it: the user's
// token then cannot start that image, and the run goes on from a copy the user can read.
TEST(SessionRelaunch, AnImageTheUserCannotStartRunsFromACopyRemovedAfterTheRun) {
  Relaunch relaunch;
  relaunch.sessions.sessions = {{1, true, TokenAccount::Other}};
  relaunch.sessions.unreadable_image = kExe;
  relaunch.sessions.child_exit = 3u;
  relaunch.run();

  EXPECT_EQ(relaunch.result, 3);
  EXPECT_EQ(relaunch.record("LastRunExitCode")->number, 3u);
  EXPECT_EQ(relaunch.sessions.copied_from, kExe);
  ASSERT_EQ(relaunch.sessions.attempts.size(), 2u);
  const std::string head = "\"" + relaunch.sessions.copy_path + "\" ";
  ASSERT_TRUE(relaunch.sessions.attempts[1].starts_with(head)) << relaunch.sessions.attempts[1];
  EXPECT_EQ(base64_decode_unpadded(relaunch.sessions.attempts[1].substr(head.size())), "SILENT:quill||user");
  EXPECT_EQ(relaunch.sessions.copies_during_wait, 1);  // kept while the user's copy runs
  EXPECT_EQ(relaunch.sessions.copies, 0);              // and removed once it has ended
  EXPECT_EQ(relaunch.sessions.alive, 0);
  EXPECT_NE(relaunch.log.find(std::string("The logged-on user cannot start ") + kExe + "; relaunching from a copy of it"),
            std::string::npos)
      << relaunch.log;
}

TEST(SessionRelaunch, OnlyAnAccessDeniedStartTriesACopy) {
  const struct {
    const char* name;
    void (*arrange)(Relaunch&);
    std::size_t attempts;
    const char* line;
  } cases[] = {
      {"copy fails",
       [](Relaunch& r) {
         r.sessions.unreadable_image = kExe;
         r.sessions.copy_fails = true;
       },
       1, "Could not copy the engine for the logged-on user: There is not enough space on the disk. (os error 112)"},
      {"copy denied as well", [](Relaunch& r) { r.sessions.start_error = 5; }, 2,
       "CreateProcessAsUserW failed for per-user relaunch: 0x80070005"},
      {"another error", [](Relaunch& r) { r.sessions.start_error = 2; }, 1,
       "CreateProcessAsUserW failed for per-user relaunch: 0x80070002"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Relaunch relaunch;
    relaunch.sessions.sessions = {{1, true, TokenAccount::Other}};
    c.arrange(relaunch);
    relaunch.run();
    EXPECT_EQ(relaunch.result, 2);
    EXPECT_EQ(relaunch.sessions.attempts.size(), c.attempts);
    EXPECT_NE(relaunch.log.find(c.line), std::string::npos) << relaunch.log;
    EXPECT_EQ(relaunch.sessions.copies, 0);
    EXPECT_EQ(relaunch.sessions.alive, 0);
  }
}

// The user's copy writes the run's installer.log in the folder it is given.
TEST(SessionRelaunch, AGivenLogFolderIsMadeWritableForTheUserFirst) {
  Relaunch relaunch;
  relaunch.sessions.sessions = {{1, true, TokenAccount::Other}};
  relaunch.log_directory = "C:\\ProgramData\\Agent\\Logs\\run 7";
  relaunch.run();
  EXPECT_EQ(relaunch.result, 0);
  EXPECT_EQ(relaunch.sessions.writable_folders, std::vector<std::string>{*relaunch.log_directory});

  Relaunch refused;
  refused.sessions.sessions = {{1, true, TokenAccount::Other}};
  refused.sessions.folder_fails = true;
  refused.log_directory = relaunch.log_directory;
  refused.run();
  EXPECT_EQ(refused.result, 0);  // the copy still runs, and reports its own logger failure
  EXPECT_NE(refused.log.find("Could not prepare the log folder C:\\ProgramData\\Agent\\Logs\\run 7 for the "
                             "logged-on user: Access is denied. (os error 5)"),
            std::string::npos)
      << refused.log;

  Relaunch without;
  without.sessions.sessions = {{1, true, TokenAccount::Other}};
  without.run();
  EXPECT_TRUE(without.sessions.writable_folders.empty());  // the copy logs to its own temp folder
}

}  // namespace
}  // namespace yoxa
