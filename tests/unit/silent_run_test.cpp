#include "silent/silent_run.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/base64.h"
#include "core/messages.h"
#include "fake_registry.h"
#include "fake_sessions.h"
#include "log_capture.h"
#include "silent/run_record.h"
#include "silent/session_relaunch.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

using platform::RegistryHive;
using platform::RegistryView;
using testing::FakeRegistry;
using testing::logged_by;
using testing::TempDir;

constexpr std::uint32_t kPid = 4242;
const std::string kKey(kRunRecordKey);
const std::string kAppsKey(kRunRecordAppsKey);

AppResult result(const char* app, AppStatus status) {
  return status == AppStatus::Failed ? AppResult::failed(app, "INSTALL_FAILED") : AppResult::plain(app, status);
}

std::optional<platform::RegistryValue> read(FakeRegistry& registry, const std::string& key, const std::string& name) {
  return *registry.value(RegistryHive::LocalMachine, RegistryView::Bits64, key, name);
}

// -- the run record --------------------------------------------------------------------------

TEST(RunRecord, WritesTheValuesAndOneStatusPerAppKeepingAppsItDoesNotReport) {
  FakeRegistry registry;
  registry.set_string(RegistryHive::LocalMachine, RegistryView::Bits64, kAppsKey, "folio", "installed");
  const std::string log = logged_by([&] {
    write_run_record(registry, "install", 1, true,
                     {result("quill", AppStatus::Updated), result("abacus", AppStatus::Failed)});
  });
  EXPECT_EQ(read(registry, kKey, "LastRunMode")->text, "install");
  EXPECT_EQ(read(registry, kKey, "LastRunExitCode")->type, platform::RegistryValue::Type::Dword);
  EXPECT_EQ(read(registry, kKey, "LastRunExitCode")->number, 1u);
  EXPECT_EQ(read(registry, kKey, "RebootRequired")->number, 1u);
  EXPECT_EQ(read(registry, kAppsKey, "quill")->text, "updated");
  EXPECT_EQ(read(registry, kAppsKey, "abacus")->text, "failed");
  EXPECT_EQ(read(registry, kAppsKey, "folio")->text, "installed");
  // Nothing lands in the 32-bit view a 32-bit reader would be redirected to.
  EXPECT_FALSE(*registry.value(RegistryHive::LocalMachine, RegistryView::Bits32, kKey, "LastRunMode"));
  EXPECT_NE(log.find("Wrote result marker: mode=install exit=1 reboot=true apps=2"), std::string::npos);
}

TEST(RunRecord, AnUnwritableKeyLeavesThePreviousRecordWithAWarning) {
  FakeRegistry registry;
  registry.set_string(RegistryHive::LocalMachine, RegistryView::Bits64, kKey, "LastRunMode", "install")
      .set_dword(RegistryHive::LocalMachine, RegistryView::Bits64, kKey, "LastRunExitCode", 0)
      .fail_key(RegistryHive::LocalMachine, RegistryView::Bits64, kKey);
  const std::string log = logged_by(
      [&] { write_run_record(registry, "uninstall", 2, false, {result("quill", AppStatus::Failed)}); });
  EXPECT_NE(log.find("Could not write result marker (needs machine/elevated write): Access is denied. (os error 5)"),
            std::string::npos);
  EXPECT_EQ(log.find("Wrote result marker"), std::string::npos);
  EXPECT_FALSE(*registry.subkeys(RegistryHive::LocalMachine, RegistryView::Bits64, kAppsKey));
}

TEST(RunRecord, AnUnwritableAppsSubkeyStillLeavesTheRunValues) {
  FakeRegistry registry;
  registry.fail_key(RegistryHive::LocalMachine, RegistryView::Bits64, kAppsKey);
  const std::string log =
      logged_by([&] { write_run_record(registry, "install", 0, false, {result("quill", AppStatus::Installed)}); });
  EXPECT_EQ(read(registry, kKey, "LastRunExitCode")->number, 0u);
  EXPECT_EQ(log.find("Could not write result marker"), std::string::npos);
  EXPECT_NE(log.find("Wrote result marker: mode=install exit=0 reboot=false apps=1"), std::string::npos);
}

// -- silent install and uninstall -------------------------------------------------------------

// A host whose machine is the test's: a fake registry, temp folders, scripted work.
struct Machine {
  TempDir base;
  TempDir logs;
  FakeRegistry registry;
  SilentHost host = SilentHost::system();
  std::vector<RunSettings> runs;  // what the work was given
  std::vector<bool> quit_file_present;
  int elevations = 0;
  std::string payload;

  Machine() {
    host.is_elevated = [] { return true; };
    host.is_local_system = [] { return false; };
    host.configured_scope = [] { return InstallScope::User; };
    host.reboot_required = [] { return false; };
    host.check_expiry = [] { return std::optional<Retirement>(); };
    host.base_dir = [this](bool) { return base.str(); };
    host.process_id = [] { return kPid; };
    host.registry = &registry;
    host.relaunch = [](const SilentOptions&) { return std::optional<int>(); };
    host.elevate = [this](const std::string& text) {
      ++elevations;
      payload = text;
      return ElevatedStart{.process = std::nullopt, .declined = true, .error = {}};
    };
    installs_return(std::vector<AppResult>{result("quill", AppStatus::Installed)});
    host.uninstall = [this](const RunContext& run) {
      record(run);
      std::vector<AppResult> results;
      for (const auto& id : run.settings.app_ids) results.push_back(result(id.c_str(), AppStatus::AlreadyAbsent));
      return results;
    };
  }

  void installs_return(Result<InstallOutcome> outcome) {
    host.install = [this, outcome](const ProviderSource&, const RunContext& run) {
      record(run);
      if (outcome) {
        for (const AppResult& r : outcome->results) run.sink.app_result(r);  // discarded, never blocks
      }
      return outcome;
    };
  }
  void installs_return(std::vector<AppResult> results, bool aborted = false) {
    installs_return(Result<InstallOutcome>(InstallOutcome{std::move(results), aborted}));
  }

  void record(const RunContext& run) {
    quit_file_present.push_back(!run.cancel.cancelled());
    runs.push_back(run.settings);
  }

  SilentOptions options(std::optional<InstallScope> scope = std::nullopt, SilentMode mode = SilentMode::Install) {
    SilentOptions made;
    made.silent = true;
    made.mode = mode;
    made.apps = {"quill"};
    made.log_directory = logs.str();
    made.scope = scope;
    return made;
  }
  std::optional<platform::RegistryValue> value(const std::string& key, const std::string& name) {
    return read(registry, key, name);
  }
};

const ProviderSource kNoProvider = [] { return std::unique_ptr<PackageProvider>(); };

TEST(SilentInstall, ExitCodeFollowsResultsAndRestartAndReachesTheRecord) {
  const Error network(msg::kCouldNotContactServer, "dns", 1);
  const Error disk(msg::kNotEnoughDiskSpace, "3 bytes", 1);
  const struct {
    const char* name;
    Result<InstallOutcome> outcome;
    bool reboot;
    int code;
  } cases[] = {
      {"clean", InstallOutcome{{result("quill", AppStatus::Installed), result("abacus", AppStatus::Skipped)}}, false,
       0},
      {"clean, restart", InstallOutcome{{result("quill", AppStatus::Installed)}}, true, 6},
      {"mixed, restart", InstallOutcome{{result("quill", AppStatus::Updated), result("abacus", AppStatus::Failed)}},
       true, 1},
      {"all failed", InstallOutcome{{result("quill", AppStatus::Failed)}}, false, 2},
      {"nothing to do", InstallOutcome{}, false, 0},
      {"aborted after a success", InstallOutcome{{result("quill", AppStatus::Installed)}, true}, false, 1},
      {"only cancelled", InstallOutcome{{result("quill", AppStatus::Cancelled)}}, true, 1},
      {"network", std::unexpected(network), false, 5},
      {"whole run fails", std::unexpected(disk), true, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Machine machine;
    machine.installs_return(c.outcome);
    machine.host.reboot_required = [&] { return c.reboot; };
    int code = -1;
    const std::string log = logged_by([&] { code = silent_install(kNoProvider, machine.options(), machine.host); });
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(machine.value(kKey, "LastRunMode")->text, "install");
    EXPECT_EQ(machine.value(kKey, "LastRunExitCode")->number, static_cast<std::uint32_t>(c.code));
    EXPECT_EQ(machine.value(kKey, "RebootRequired")->number, c.reboot ? 1u : 0u);
    const std::size_t reported = c.outcome ? c.outcome->results.size() : 0;
    const auto apps = *machine.registry.value_names(RegistryHive::LocalMachine, RegistryView::Bits64, kAppsKey);
    EXPECT_EQ(apps ? apps->size() : 0, reported);
    EXPECT_NE(log.find(format("--- Silent install summary: exit_code={} (reboot_required={}) ---", c.code, c.reboot)),
              std::string::npos);
  }
}

TEST(SilentInstall, RunsWithItsQuitFileLogFolderAndScopeThenRemovesTheQuitFile) {
  Machine machine;
  int code = -1;
  const std::string log = logged_by([&] { code = silent_install(kNoProvider, machine.options(), machine.host); });
  EXPECT_EQ(code, 0);
  ASSERT_EQ(machine.runs.size(), 1u);
  const RunSettings& settings = machine.runs[0];
  EXPECT_EQ(settings.app_ids, std::vector<std::string>{"quill"});
  EXPECT_FALSE(settings.machine);
  EXPECT_EQ(settings.staging_base, machine.base.str());
  EXPECT_EQ(settings.log_dir, machine.logs.str());
  EXPECT_TRUE(machine.quit_file_present[0]);  // the run went on while it existed
  EXPECT_FALSE(std::filesystem::exists(machine.base.path() / "silent-lock-4242"));
  EXPECT_TRUE(std::filesystem::exists(machine.logs.path() / "msiexec.log"));
  EXPECT_NE(log.find("--- Silent install starting (pid=4242) ---"), std::string::npos);
  EXPECT_NE(log.find("Selected apps: [\"quill\"]"), std::string::npos);
  EXPECT_NE(log.find("Silent install scope: User"), std::string::npos);
  EXPECT_NE(log.find("Silent install: 1 succeeded, 0 failed (of 1)"), std::string::npos);
}

TEST(SilentInstall, RefusalsBeforeTheRunWriteNoRecord) {
  {
    Machine machine;
    machine.host.check_expiry = [] {
      return std::optional<Retirement>(Retirement{"expired", "https://example.test/get", "2024-01-31"});
    };
    int code = -1;
    const std::string out = logged_by([&] { code = silent_install(kNoProvider, machine.options(), machine.host); });
    EXPECT_EQ(code, 2);
    EXPECT_NE(out.find("This installer expired on 2024-01-31. Download a current installer from "
                       "https://example.test/get.\n"),
              std::string::npos);
    EXPECT_TRUE(machine.runs.empty());
    EXPECT_FALSE(machine.value(kKey, "LastRunMode"));
  }
  {
    Machine machine;
    machine.host.base_dir = [&](bool) { return (machine.base.path() / "missing" / "deeper").string(); };
    int code = -1;
    const std::string out = logged_by([&] { code = silent_install(kNoProvider, machine.options(), machine.host); });
    EXPECT_EQ(code, 2);
    EXPECT_NE(out.find("Failed to create silent quit-file at "), std::string::npos);
    EXPECT_TRUE(machine.runs.empty());
    EXPECT_FALSE(machine.value(kKey, "LastRunMode"));
  }
}

// An elevated process stages in the machine base whatever the scope; an unelevated
// user-scope run keeps the user's base.
TEST(SilentInstall, AnElevatedRunStagesInTheMachineBaseWhateverTheScope) {
  for (const bool elevated : {true, false}) {
    SCOPED_TRACE(elevated);
    Machine machine;
    std::vector<bool> asked;
    machine.host.is_elevated = [&] { return elevated; };
    machine.host.base_dir = [&](bool machine_base) {
      asked.push_back(machine_base);
      return machine.base.str();
    };
    (void)logged_by([&] { (void)silent_install(kNoProvider, machine.options(InstallScope::User), machine.host); });
    EXPECT_EQ(asked, std::vector<bool>{elevated});
    ASSERT_EQ(machine.runs.size(), 1u);
    EXPECT_FALSE(machine.runs[0].machine);  // the install itself keeps the user scope
    EXPECT_EQ(machine.runs[0].privileged, elevated);
  }
}

// LocalSystem never logs in a --log folder (the logged-on user's copy makes it): its
// own folder lies below its protected temporary directory and is made trustworthy, or
// the run stops before writing anything.
TEST(SilentInstall, LocalSystemLogsInItsOwnTrustedFolder) {
  Machine machine;
  machine.host.is_local_system = [] { return true; };
  machine.host.temp_dir = [] { return std::string("/system-temp"); };
  std::vector<std::pair<std::string, std::string>> made;
  machine.host.trusted_log_dir = [&](const std::string& root,
                                     const std::string& directory) -> std::expected<void, std::string> {
    made.emplace_back(root, directory);
    return {};
  };
  const SilentOptions options = machine.options(InstallScope::Machine);
  const std::string own = own_silent_log_dir(options, machine.host);
  EXPECT_EQ(own, silent_log_dir(SilentOptions{}, machine.host));
  EXPECT_NE(own, *options.log_directory);
  EXPECT_EQ(own, (std::filesystem::path("/system-temp") / "YoxaOfficeSilent-4242").string());
  (void)logged_by([&] { EXPECT_EQ(silent_install(kNoProvider, options, machine.host), 0); });
  EXPECT_EQ(made, (std::vector<std::pair<std::string, std::string>>{{"/system-temp", own}}));
  ASSERT_EQ(machine.runs.size(), 1u);
  EXPECT_EQ(machine.runs[0].log_dir, own);

  machine.runs.clear();
  machine.host.trusted_log_dir = [](const std::string&, const std::string&) -> std::expected<void, std::string> {
    return std::unexpected(std::string("planted"));
  };
  int code = -1;
  const std::string out = logged_by([&] { code = silent_install(kNoProvider, options, machine.host); });
  EXPECT_EQ(code, 2);
  EXPECT_NE(out.find("Silent install: failed to initialize logger at " + own + ": planted"), std::string::npos) << out;
  EXPECT_TRUE(machine.runs.empty());
}

TEST(SilentUninstall, ReportsAlreadyAbsentAsSuccessInTheRecord) {
  Machine machine;
  int code = -1;
  const std::string log = logged_by(
      [&] { code = silent_uninstall(machine.options(InstallScope::Machine, SilentMode::Uninstall), machine.host); });
  EXPECT_EQ(code, 0);
  ASSERT_EQ(machine.runs.size(), 1u);
  EXPECT_TRUE(machine.runs[0].machine);
  EXPECT_EQ(machine.value(kKey, "LastRunMode")->text, "uninstall");
  EXPECT_EQ(machine.value(kAppsKey, "quill")->text, "already_absent");
  EXPECT_NE(log.find("--- Silent uninstall summary: 1 succeeded, 0 failed (of 1) ---"), std::string::npos);
  EXPECT_NE(log.find("--- Silent uninstall exit_code=0 ---"), std::string::npos);
}

// -- run_silent: who does the work ------------------------------------------------------------

TEST(RunSilent, WorksInProcessWhenNoOtherContextIsNeeded) {
  Machine machine;
  int code = -1;
  const std::string log =
      logged_by([&] { code = run_silent(kNoProvider, machine.options(InstallScope::Machine), machine.host); });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(machine.elevations, 0);
  ASSERT_EQ(machine.runs.size(), 1u);
  EXPECT_TRUE(machine.runs[0].machine);
  EXPECT_NE(log.find("Running silent install in-process (elevated=true, scope=Machine)"), std::string::npos);
}

TEST(RunSilent, NeedsElevationForMachineScopeOrAMachineOnlyApp) {
  const struct {
    const char* name;
    std::optional<InstallScope> scope;
    std::vector<std::string> apps;
    InstallScope configured;
    bool elevates;
    const char* payload;
  } cases[] = {
      {"machine", InstallScope::Machine, {"quill"}, InstallScope::User, true, "SILENT:quill|LOG|machine"},
      {"configured machine", std::nullopt, {"quill"}, InstallScope::Machine, true, "SILENT:quill|LOG"},
      {"machine-only app", InstallScope::User, {"quill", "folio"}, InstallScope::User, true,
       "SILENT:quill,folio|LOG|user"},
      {"user", std::nullopt, {"quill"}, InstallScope::User, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Machine machine;
    machine.host.is_elevated = [] { return false; };
    machine.host.configured_scope = [&] { return c.configured; };
    SilentOptions options = machine.options(c.scope);
    options.apps = c.apps;
    int code = -1;
    const std::string out = logged_by([&] { code = run_silent(kNoProvider, options, machine.host); });
    EXPECT_EQ(machine.elevations, c.elevates ? 1 : 0);
    if (!c.elevates) {
      EXPECT_EQ(code, 0);
      continue;
    }
    std::string payload = c.payload;
    payload.replace(payload.find("LOG"), 3, machine.logs.str());
    EXPECT_EQ(machine.payload, payload);
    EXPECT_EQ(code, 4);  // the prompt was declined
    EXPECT_NE(out.find("UAC declined by user\n"), std::string::npos);
    EXPECT_TRUE(machine.runs.empty());
    EXPECT_FALSE(machine.value(kKey, "LastRunMode"));
  }
}

TEST(RunSilent, AFailedStartIsPermissionDeniedAndAStartedCopysCodeIsTheRunsCode) {
  Machine machine;
  machine.host.is_elevated = [] { return false; };
  machine.host.elevate = [](const std::string&) {
    return ElevatedStart{.process = std::nullopt, .declined = false,
                         .error = "Failed to spawn elevated installer: 0x80070002"};
  };
  int code = -1;
  std::string out = logged_by([&] { code = run_silent(kNoProvider, machine.options(InstallScope::Machine), machine.host); });
  EXPECT_EQ(code, 4);
  EXPECT_NE(out.find("Failed to spawn elevated installer: 0x80070002\n"), std::string::npos);

  machine.host.elevate = [](const std::string&) {
    return ElevatedStart{.process = platform::DetachedProcess::start(YOXA_FAKE_SHELL, {"exit 6"}).value(),
                         .declined = false, .error = {}};
  };
  out = logged_by([&] { code = run_silent(kNoProvider, machine.options(InstallScope::Machine), machine.host); });
  EXPECT_EQ(code, 6);
  EXPECT_NE(out.find("Re-spawning via UAC for silent install (scope=Machine)"), std::string::npos);
  EXPECT_TRUE(machine.runs.empty());
}

TEST(RunSilent, LocalSystemHandsAUserInstallToTheLoggedOnUser) {
  Machine machine;
  machine.host.is_local_system = [] { return true; };
  testing::FakeSessions sessions;
  sessions.sessions = {{0, true, platform::TokenAccount::LocalSystem}, {2, false, platform::TokenAccount::Other},
                       {3, true, platform::TokenAccount::Other}};
  sessions.child_exit = 1u;
  machine.host.relaunch = [&](const SilentOptions& options) {
    return relaunch_as_session_user(options, RelaunchHost{.sessions = sessions, .registry = machine.registry,
                                                          .own_executable = [] { return std::string("C:\\e.exe"); },
                                                          .ensure_sideloading_policy = {}});
  };
  int code = -1;
  (void)logged_by([&] { code = run_silent(kNoProvider, machine.options(), machine.host); });
  EXPECT_EQ(code, 1);
  EXPECT_EQ(sessions.started_in, 3u);
  EXPECT_TRUE(machine.runs.empty());
  EXPECT_EQ(machine.value(kKey, "LastRunExitCode")->number, 1u);
}

TEST(RunSilent, LocalSystemWithoutAUserSessionInstallsForAllUsers) {
  Machine machine;
  machine.host.is_local_system = [] { return true; };
  machine.host.is_elevated = [] { return true; };
  int code = -1;
  const std::string log = logged_by([&] { code = run_silent(kNoProvider, machine.options(), machine.host); });
  EXPECT_EQ(code, 0);
  ASSERT_EQ(machine.runs.size(), 1u);
  EXPECT_TRUE(machine.runs[0].machine);
  EXPECT_NE(log.find("Silent install requested user scope while running as LocalSystem, but no active user session "
                     "was found; falling back to machine scope."),
            std::string::npos);
  EXPECT_NE(log.find("Silent run is executing as LocalSystem with user scope; promoting to machine scope"),
            std::string::npos);
  EXPECT_EQ(machine.value(kAppsKey, "quill")->text, "installed");
}

// A per-machine MSI cannot install in the unelevated user copy: with a machine-only app
// in the selection, LocalSystem does the whole run itself at machine scope.
TEST(RunSilent, LocalSystemInstallsAMachineOnlySelectionItselfAtMachineScope) {
  for (const bool user_logged_on : {true, false}) {
    SCOPED_TRACE(user_logged_on);
    Machine machine;
    machine.host.is_local_system = [] { return true; };
    int relaunches = 0;
    machine.host.relaunch = [&](const SilentOptions&) {
      ++relaunches;
      return user_logged_on ? std::optional<int>(2) : std::nullopt;
    };
    machine.installs_return({result("folio", AppStatus::Installed), result("quill", AppStatus::Installed)});
    SilentOptions options = machine.options(InstallScope::User);
    options.apps = {"folio", "quill"};
    int code = -1;
    const std::string log = logged_by([&] { code = run_silent(kNoProvider, options, machine.host); });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(relaunches, 0);
    EXPECT_EQ(machine.elevations, 0);
    ASSERT_EQ(machine.runs.size(), 1u);
    EXPECT_TRUE(machine.runs[0].machine);
    EXPECT_EQ(machine.runs[0].app_ids, options.apps);
    EXPECT_NE(log.find("Silent install selection holds a machine-only app; running it as LocalSystem at machine "
                       "scope instead of relaunching in the user's session."),
              std::string::npos);
    EXPECT_EQ(machine.value(kAppsKey, "folio")->text, "installed");
  }
}

}  // namespace
}  // namespace yoxa
