#include "uninstall/run_uninstall.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "core/messages.h"
#include "log_capture.h"
#include "temp_dir.h"
#include "uninstall/uninstall_msix.h"
#include "uninstall/uninstall_precheck.h"

namespace yoxa {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using testing::logged_by;

const AppDescriptor& app(std::string_view id) { return *app_by_id(id); }

constexpr const char* kSystemMsiexec = "D:\\Win\\System32\\msiexec.exe";

InstalledProduct entry(const std::string& key, std::optional<std::string> uninstall,
                       std::optional<std::string> quiet = std::nullopt) {
  InstalledProduct found;
  found.key = key;
  found.version = "1.0";
  found.uninstall_string = std::move(uninstall);
  found.quiet_uninstall_string = std::move(quiet);
  return found;
}

const char* scope_name(RootScope scope) {
  switch (scope) {
    case RootScope::UserOnly: return "user";
    case RootScope::MachineOnly: return "machine";
    case RootScope::Any: break;
  }
  return "any";
}

// The registry and the Appx repository, in memory. Every lookup is recorded as "kind scope".
class FakeInstalled final : public InstalledApps {
 public:
  bool installed_machine_wide(const AppDescriptor&) const override { return false; }
  std::optional<std::string> msix_installed_version(std::string_view family) const override {
    lookups.push_back("msix " + std::string(family));
    if (msix_for_user.contains(std::string(family))) return "4.0";
    return std::nullopt;
  }
  bool msix_provisioned(std::string_view family) const override {
    lookups.push_back("provisioned " + std::string(family));
    return provisioned.contains(std::string(family));
  }
  Result<std::optional<InstalledProduct>> find_by_upgrade_code(std::string_view code) const override {
    return find_by_upgrade_code_in(code, RootScope::Any);
  }
  std::optional<InstalledProduct> find_by_product_name(std::string_view name) const override {
    return find_by_product_name_in(name, RootScope::Any);
  }
  Result<std::optional<InstalledProduct>> find_by_upgrade_code_in(std::string_view,
                                                                  RootScope scope) const override {
    lookups.push_back(std::string("upgrade ") + scope_name(scope));
    if (upgrade_fails.contains(scope)) return fail(msg::kPreviousInstallationProblem, "access denied", 5101);
    if (auto found = by_upgrade.find(scope); found != by_upgrade.end()) return found->second;
    return std::nullopt;
  }
  std::optional<InstalledProduct> find_by_product_name_in(std::string_view, RootScope scope) const override {
    lookups.push_back(std::string("name ") + scope_name(scope));
    for (auto& [where, found] : by_name) {
      const bool visible = scope == RootScope::Any || where == scope;
      if (!visible || found.lookups_left == 0) continue;
      if (found.lookups_left > 0) --found.lookups_left;
      return found.product;
    }
    return std::nullopt;
  }
  Result<std::vector<InstalledProduct>> products_by_upgrade_code_in(std::string_view,
                                                                    RootScope scope) const override {
    lookups.push_back(std::string("products ") + scope_name(scope));
    if (products_fail) return fail(msg::kPreviousInstallationProblem, "access denied", 5101);
    std::vector<InstalledProduct> left = also_under_upgrade;
    if (auto found = by_upgrade.find(scope); found != by_upgrade.end()) left.insert(left.begin(), found->second);
    return left;
  }
  Result<bool> product_name_registered_in(std::string_view name, RootScope scope) const override {
    if (unreadable_lookups != 0) {
      if (unreadable_lookups > 0) --unreadable_lookups;
      lookups.push_back(std::string("name ") + scope_name(scope) + " (unreadable)");
      return fail(msg::kPreviousInstallationProblem, "Access is denied. (os error 5)", 5102);
    }
    return find_by_product_name_in(name, scope).has_value();
  }
  std::optional<std::string> installed_path(const AppDescriptor&) const override { return std::nullopt; }
  std::optional<std::string> installed_version(const AppDescriptor&) const override { return std::nullopt; }

  struct Named {
    InstalledProduct product;
    int lookups_left = -1;  // how many more look-ups still find it; -1: always
  };
  std::map<RootScope, InstalledProduct> by_upgrade;
  std::set<RootScope> upgrade_fails;
  mutable std::map<RootScope, Named> by_name;  // only UserOnly and MachineOnly keys
  std::set<std::string> msix_for_user;
  std::set<std::string> provisioned;
  std::vector<InstalledProduct> also_under_upgrade;  // products msiexec /x of the first leaves alone
  bool products_fail = false;
  mutable int unreadable_lookups = 0;  // how many re-detect look-ups fail to read; -1: all
  mutable Strings lookups;
};

// The uninstall run's surroundings: the machine in memory, its programs scripted.
struct Rig {
  Rig() {
    host.powershell = [this](const std::string& script, std::uint32_t limit) -> Result<std::string> {
      scripts.push_back(script);
      EXPECT_EQ(limit, kMsixRemovalLimitSeconds);
      if (script.find(failing_script) != std::string::npos && !failing_script.empty()) {
        return fail(msg::kAppUninstallFailed, "0x80073CF1 package not found", 4705);
      }
      if (script.find("-ExpandProperty PackageFullName") != std::string::npos && !all_users_answers.empty()) {
        std::string answer = all_users_answers.front();
        all_users_answers.erase(all_users_answers.begin());
        return answer;
      }
      return std::string();
    };
    host.is_elevated = [this] { return elevated; };
    host.environment_variable = [this](const std::string& name) -> std::optional<std::string> {
      if (name == "USERNAME") return user_name;
      if (auto found = environment.find(name); found != environment.end()) return found->second;
      return std::nullopt;
    };
    host.msiexec_program = [] { return std::expected<std::string, platform::OsError>(kSystemMsiexec); };
    host.stop_running_app = [this](std::string_view name) { started.push_back("stop " + std::string(name)); };
    host.run_msiexec = [this](const std::string& program, const Strings& arguments)
        -> std::expected<std::uint32_t, platform::OsError> {
      started.push_back(program + " " + join(arguments, " "));
      if (msiexec_exit == 0 && !msiexec_leaves_it) installed.by_upgrade.clear();
      return msiexec_exit;
    };
    host.run_uninstaller = [this](const std::string& program, const Strings& arguments, const UninstallerWait& wait)
        -> std::expected<CapturedRun, platform::OsError> {
      started.push_back(program + " " + join(arguments, " "));
      wait_limit = wait.limit;
      for (int poll = 0; poll < uninstaller_polls; ++poll) wait.on_poll();
      if (!uninstaller_starts) return std::unexpected(platform::OsError{2, "The system cannot find the file specified."});
      return CapturedRun{.exit_code = uninstaller_exit,
                         .standard_error = "",
                         .standard_output = "removed 3 files\n\n",
                         .timed_out = uninstaller_hangs,
                         .output_truncated = false};
    };
  }

  // Runs the engine; the events it emitted come back as wire lines.
  std::vector<AppResult> run(const Strings& ids, bool machine = false, const Strings& per_user = {}) {
    auto [sink, receiver] = make_event_channel();
    std::vector<AppResult> results;
    {
      RunContext context{.settings = {.app_ids = ids, .machine = machine, .staging_base = "", .log_dir = log_dir.str()},
                         .sink = std::move(sink),
                         .cancel = CancelToken::from([this] { return cancel_after-- <= 0; }),
                         .pause = [this](std::chrono::milliseconds length) { pauses.push_back(length.count()); },
                         .installed = &installed};
      log = logged_by([&] { results = run_uninstall(context, per_user, host); });
    }
    while (auto line = receiver.receive()) events.push_back(*line);
    return results;
  }

  std::string uninstall_log(std::string_view id) const {
    std::ifstream file(log_dir.path() / ("uninstall-" + std::string(id) + ".log"));
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  FakeInstalled installed;
  UninstallHost host;
  testing::TempDir log_dir;
  bool elevated = false;
  std::optional<std::string> user_name = "ada";
  std::uint32_t msiexec_exit = 0;
  bool msiexec_leaves_it = false;  // exits 0, yet the product stays registered
  bool uninstaller_starts = true;
  std::uint32_t uninstaller_exit = 0;
  bool uninstaller_hangs = false;  // still running at the time limit
  int uninstaller_polls = 0;       // waits of a second each before it ends
  std::chrono::seconds wait_limit{0};
  std::map<std::string, std::string> environment;
  std::string failing_script;
  Strings all_users_answers;  // what the all-users registration query prints, call by call
  int cancel_after = 1 << 20;  // checks answered "go on" before the cancel shows
  Strings scripts;
  Strings started;
  std::vector<long long> pauses;
  Strings events;
  std::string log;
};

std::string status_of(const AppResult& result) {
  std::string text(wire_string(result.status));
  if (result.error_code) text += " " + std::string(*result.error_code);
  return text;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// --- the run -----------------------------------------------------------------------------

TEST(RunUninstall, TurnsEachOutcomeIntoItsResult) {
  const InstalledProduct quill = entry("{QUILL-CODE}", "MsiExec.exe /X{QUILL-CODE}");
  const struct {
    const char* name;
    std::function<void(Rig&)> arrange;
    Strings per_user;
    const char* status;
    std::string logged;
  } cases[] = {
      {"removed", [&](Rig& r) { r.installed.by_upgrade[RootScope::UserOnly] = quill; }, {}, "uninstalled",
       "Yoxa Quill: removed"},
      {"absent", [](Rig&) {}, {}, "already_absent", "Yoxa Quill: not installed (no action)"},
      {"absent but the launcher saw it", [](Rig&) {}, {"quill"}, "failed UNINSTALL_FAILED",
       "(user 'ada') has no trace of it"},
      {"unknown user", [](Rig& r) { r.user_name.reset(); }, {"quill"}, "failed UNINSTALL_FAILED",
       "(user '<unknown>')"},
      {"msiexec fails",
       [&](Rig& r) {
         r.installed.by_upgrade[RootScope::UserOnly] = quill;
         r.msiexec_exit = 1603;
       },
       {}, "failed UNINSTALL_FAILED", "Yoxa Quill: uninstall failed: " + std::string(msg::kUninstallFailed) +
                                          ": msiexec /x exited with code 1603"},
      {"lookup fails", [](Rig& r) { r.installed.upgrade_fails.insert(RootScope::UserOnly); }, {},
       "failed INSTALL_FAILED", "Problem checking previous installation"},
  };
  for (const auto& c : cases) {
    Rig rig;
    c.arrange(rig);
    const auto results = rig.run({"quill"}, false, c.per_user);
    ASSERT_EQ(results.size(), 1u) << c.name;
    EXPECT_EQ(status_of(results[0]), c.status) << c.name;
    EXPECT_TRUE(contains(rig.log, c.logged)) << c.name << "\n" << rig.log;
    EXPECT_EQ(rig.events.size(), 3u) << c.name;
  }
}

TEST(RunUninstall, EmitsStageProgressAndResultPerAppInTableOrder) {
  Rig rig;
  rig.elevated = true;
  const auto results = rig.run({"folio", "quill"});
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].app, "quill");
  EXPECT_EQ(results[1].app, "folio");
  ASSERT_EQ(rig.events.size(), 6u);
  EXPECT_EQ(rig.events[0], R"({"app":"quill","index":0,"stage":"uninstall","total":2,"type":"stage","v":1})");
  EXPECT_TRUE(contains(rig.events[1], R"("detailCode":"UNINSTALLING")")) << rig.events[1];
  EXPECT_TRUE(contains(rig.events[1], R"("indeterminate":true,"percent":50)")) << rig.events[1];
  EXPECT_TRUE(contains(rig.events[2], R"("status":"already_absent","type":"app-result")")) << rig.events[2];
  EXPECT_EQ(rig.started, (Strings{"stop YoxaQuill", "stop YoxaFolio"}));
}

TEST(RunUninstall, ReportsTheAppsNotStartedAsCancelledOnceTheRunIsCancelled) {
  Rig rig;
  rig.cancel_after = 1;  // the first app starts, the cancel arrives during it
  const auto results = rig.run({"quill", "abacus", "folio"});
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(status_of(results[0]), "already_absent");
  EXPECT_EQ(status_of(results[1]), "cancelled");
  EXPECT_EQ(status_of(results[2]), "cancelled");
  EXPECT_EQ(rig.started, Strings{"stop YoxaQuill"});
}

TEST(RunUninstall, WritesTheAccountMismatchLineByteForByte) {
  const std::string pad(21, ' ');
  EXPECT_EQ(account_mismatch_message("Yoxa Quill", "ada"),
            "Yoxa Quill: the launcher found a per-user installation for the invoking user, but this \n" + pad +
                "elevated worker's HKEY_CURRENT_USER (user 'ada') has no trace of it \u2014 UAC was \n" + pad +
                "approved by a different account. Sign in as the owning user and uninstall from \n" + pad +
                "there, or approve the prompt with that account.");
}

// --- MSI and EXE apps --------------------------------------------------------------------

TEST(UninstallRegistered, PrefersTheUsersRegisteredCommandOverItsUpgradeCode) {
  Rig rig;
  rig.installed.by_name[RootScope::UserOnly] = {entry("Quill", R"("C:\Apps\Q\uninst.exe")", R"("C:\Apps\Q\quiet.exe" /x)"),
                                                1};
  rig.installed.by_upgrade[RootScope::UserOnly] = entry("{CODE}", std::nullopt);
  EXPECT_EQ(status_of(rig.run({"quill"})[0]), "uninstalled");
  EXPECT_EQ(rig.started, (Strings{"stop YoxaQuill", R"(C:\Apps\Q\quiet.exe /x /S _?=C:\Apps\Q)"}));
  EXPECT_EQ(rig.installed.lookups, (Strings{"name user", "name user"}));  // found, then confirmed gone
}

TEST(UninstallRegistered, RemovesTheUsersMsiByProductCode) {
  Rig rig;
  rig.installed.by_upgrade[RootScope::UserOnly] = entry("{QUILL-CODE}", std::nullopt);
  EXPECT_EQ(status_of(rig.run({"quill"})[0]), "uninstalled");
  const std::string log_path = (rig.log_dir.path() / "uninstall-quill.log").string();
  EXPECT_EQ(rig.started.back(), std::string(kSystemMsiexec) + " /x {QUILL-CODE} /quiet /qn /norestart /l*v " + log_path);
  EXPECT_TRUE(contains(rig.log, "per-user MSI registration found in HKCU (upgrade code)")) << rig.log;
}

TEST(UninstallRegistered, ChoosesUserOrMachineByElevationAndScope) {
  const InstalledProduct machine_msi = entry("{MACHINE}", std::nullopt);
  const struct {
    const char* name;
    std::string app;
    bool machine;
    bool elevated;
    Strings lookups;
    const char* status;
  } cases[] = {
      // Unelevated, nothing for the user: the machine's registry is not even read.
      {"user, unelevated", "quill", false, false, {"name user", "upgrade user"}, "already_absent"},
      {"user, elevated", "quill", false, true, {"name user", "upgrade user", "upgrade machine", "products machine"},
       "uninstalled"},
      {"machine scope", "quill", true, false, {"upgrade machine", "products machine"}, "uninstalled"},
      {"machine-only app", "folio", false, false, {"upgrade machine", "products machine"}, "uninstalled"},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.elevated = c.elevated;
    rig.installed.by_upgrade[RootScope::MachineOnly] = machine_msi;
    EXPECT_EQ(status_of(rig.run({c.app}, c.machine)[0]), c.status) << c.name;
    EXPECT_EQ(rig.installed.lookups, c.lookups) << c.name;
  }
}

TEST(UninstallRegistered, FallsBackToTheRegisteredCommandMachineWide) {
  Rig rig;
  rig.installed.by_name[RootScope::MachineOnly] = {entry("Quill", "MsiExec.exe /X{QUILL} /quiet /L*V own.log"), 1};
  EXPECT_EQ(status_of(rig.run({"quill"}, true)[0]), "uninstalled");
  EXPECT_EQ(rig.started.back(), std::string(kSystemMsiexec) + " /X{QUILL} /quiet /L*V own.log /norestart");
  EXPECT_EQ(rig.installed.lookups, (Strings{"upgrade machine", "name any", "name any"}));

  Rig nothing;
  EXPECT_EQ(status_of(nothing.run({"quill"}, true)[0]), "already_absent");
  EXPECT_TRUE(contains(nothing.log, "Yoxa Quill: not installed (no MSI code, no Uninstall-name entry)"));
}

// HKEY_CURRENT_USER is the unelevated user's to write: an elevated process neither runs the
// command registered there nor cleans up the program it names, whatever the scope.
TEST(UninstallRegistered, AnElevatedProcessNeverRunsAPerUserEntry) {
  for (const bool machine : {false, true}) {
    SCOPED_TRACE(machine ? "machine scope" : "user scope");
    Rig rig;
    rig.elevated = true;
    rig.installed.by_name[RootScope::UserOnly] = {entry("Quill", R"("C:\Users\ada\Q\uninst.exe")"), -1};
    EXPECT_EQ(status_of(rig.run({"quill"}, machine)[0]), "failed UNINSTALL_FAILED");
    EXPECT_EQ(rig.started, Strings{"stop YoxaQuill"});
    EXPECT_TRUE(contains(rig.log, "Yoxa Quill: uninstall failed: " + std::string(msg::kUninstallFailed) +
                                      ": Yoxa Quill is registered under HKEY_CURRENT_USER (user 'ada'), a per-user "
                                      "install this elevated process does not run or delete: sign in as the owning "
                                      "user and uninstall it from there without elevation"))
        << rig.log;
  }

  // The machine's own entry is still run; the user's is left alone.
  Rig both;
  both.elevated = true;
  both.installed.by_name[RootScope::UserOnly] = {entry("Quill", R"("C:\Users\ada\Q\uninst.exe")"), 1};
  both.installed.by_name[RootScope::MachineOnly] = {entry("Quill", R"("C:\Program Files\Q\uninst.exe")"), 1};
  EXPECT_EQ(status_of(both.run({"quill"}, true)[0]), "uninstalled");
  ASSERT_EQ(both.started.size(), 2u);
  EXPECT_TRUE(both.started[1].starts_with(R"(C:\Program Files\Q\uninst.exe /S)")) << both.started[1];
}

// --- registered uninstall commands ----------------------------------------------------------

TEST(UninstallString, TrustsTheRegistryNotTheExitCode) {
  const struct {
    const char* name;
    int lookups_left;  // the first finds the entry
    std::uint32_t exit;
    const char* status;
    std::size_t pauses;
  } cases[] = {
      {"gone at once", 1, 0, "uninstalled", 0},
      {"gone while the uninstaller works on", 4, 0, "uninstalled", 3},
      {"gone despite a failing exit code", 2, 5, "uninstalled", 1},
      {"exits 0 and stays", -1, 0, "failed UNINSTALL_FAILED", 29},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.uninstaller_exit = c.exit;
    rig.installed.by_name[RootScope::UserOnly] = {entry("Quill", R"("C:\Apps\Quill\uninst.exe")"), c.lookups_left};
    EXPECT_EQ(status_of(rig.run({"quill"})[0]), c.status) << c.name;
    EXPECT_EQ(rig.pauses.size(), c.pauses) << c.name;
    for (const long long pause : rig.pauses) EXPECT_EQ(pause, 1000);
  }
  Rig stays;
  stays.installed.by_name[RootScope::UserOnly] = {entry("Quill", R"("C:\Apps\Quill\uninst.exe")"), -1};
  (void)stays.run({"quill"});
  const std::string log_path = (stays.log_dir.path() / "uninstall-quill.log").string();
  EXPECT_TRUE(contains(stays.log, "Yoxa Quill still present in User hive(s) 30s after running UninstallString (exit "
                                  "Some(0)); see " + log_path))
      << stays.log;
}

TEST(UninstallString, WritesTheTranscriptToTheUninstallLog) {
  Rig rig;
  rig.uninstaller_exit = 3;
  rig.installed.by_name[RootScope::UserOnly] = {entry("Quill", R"("C:\Apps\Quill\uninst.exe" /keep)"), 1};
  std::ofstream(rig.log_dir.path() / "uninstall-quill.log") << "earlier run\n";
  (void)rig.run({"quill"});
  EXPECT_EQ(rig.uninstall_log("quill"),
            "earlier run\n\n=== Yoxa installer: uninstaller runner ===\ncommand: C:\\Apps\\Quill\\uninst.exe "
            R"(["/keep", "/S", "_?=C:\\Apps\\Quill"])"
            "\nexit: Some(3)\n--- stdout ---\nremoved 3 files\n");
  EXPECT_TRUE(contains(rig.log, "Yoxa Quill: uninstaller exited Some(3)")) << rig.log;
}

TEST(UninstallString, FailsWithoutAProgramToStart) {
  const struct {
    const char* name;
    std::optional<std::string> command;
    bool starts;
    const char* detail;
  } cases[] = {
      {"no command", std::nullopt, true, "Yoxa Quill is installed but has no UninstallString"},
      {"white space", "   ", true, "Yoxa Quill has an UninstallString without a program"},
      {"empty quotes", R"("" /S)", true, "Yoxa Quill has an UninstallString without a program"},
      {"cannot start", R"("C:\Program Files\u.exe)", false, "The system cannot find the file specified."},
      // The system's command line would end at the NUL: evil.exe would run, taken for msiexec.
      {"NUL inside", std::string("C:\\Evil\\evil.exe\0\\msiexec.exe /X{G}", 35), true,
       "NUL character inside; refusing to run it: C:\\Evil\\evil.exe\\x00\\msiexec.exe /X{G}"},
      {"NUL among the arguments", std::string("\"C:\\Apps\\unins.exe\" \0 /keep", 27), true,
       "NUL character inside; refusing to run it: "},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.uninstaller_starts = c.starts;
    rig.installed.by_name[RootScope::UserOnly] = {entry("Quill", c.command), -1};
    EXPECT_EQ(status_of(rig.run({"quill"})[0]), "failed UNINSTALL_FAILED") << c.name;
    EXPECT_TRUE(contains(rig.log, c.detail)) << c.name << "\n" << rig.log;
    EXPECT_EQ(rig.started.size(), c.starts ? 1u : 2u) << c.name;
  }
}

TEST(UninstallString, CleansUpTheLoneStubOnlyAfterAConfirmedRemoval) {
  for (const bool confirmed : {true, false}) {
    testing::TempDir temp;
    const fs::path dir = temp.path() / "Yoxa Quill";
    fs::create_directories(dir);
    std::ofstream(dir / "uninst.exe") << "MZ";
    Rig rig;
    rig.installed.by_name[RootScope::UserOnly] = {entry("Quill", "\"" + (dir / "uninst.exe").string() + "\""),
                                                  confirmed ? 1 : -1};
    (void)rig.run({"quill"});
    EXPECT_EQ(fs::exists(dir), !confirmed);
  }
}

TEST(UninstallString, StartsTheSystemsMsiexecWhateverPathTheEntryGives) {
  for (const std::string registered : {"msiexec /x {G}", "MsiExec.exe /x {G}", R"(C:\Users\Public\msiexec.exe /x {G})",
                                       R"("C:\Windows\System32\msiexec.exe" /x {G})"}) {
    Rig rig;
    rig.installed.by_name[RootScope::UserOnly] = {entry("Quill", registered), 1};
    EXPECT_EQ(status_of(rig.run({"quill"})[0]), "uninstalled") << registered;
    const std::string log_path = (rig.log_dir.path() / "uninstall-quill.log").string();
    EXPECT_EQ(rig.started.back(), std::string(kSystemMsiexec) + " /x {G} /qn /norestart /l*v " + log_path)
        << registered;
  }
  Rig unknown;
  unknown.host.msiexec_program = [] {
    return std::expected<std::string, platform::OsError>(std::unexpected(platform::OsError{8, "no system directory"}));
  };
  unknown.installed.by_name[RootScope::UserOnly] = {entry("Quill", "msiexec /x {G}"), -1};
  EXPECT_EQ(status_of(unknown.run({"quill"})[0]), "failed UNINSTALL_FAILED");
  EXPECT_EQ(unknown.started, Strings{"stop YoxaQuill"});
}

TEST(UninstallString, PassesNoDangerousFolderAsTheInPlaceDirectory) {
  const struct {
    const char* install_location;
    const char* expected_tail;
  } cases[] = {
      {R"(C:\Program Files\Yoxa Quill\)", R"(/S _?=C:\Program Files\Yoxa Quill)"},
      {R"(C:\)", "/S"},
      {R"(C:\Windows)", "/S"},
      {R"(C:\Users\ada)", "/S"},       // the profile
      {R"(C:\Users)", "/S"},           // holds the profile
      {R"(C:\Program Files)", "/S"},
      {R"(Apps\Quill)", "/S"},         // relative: against whatever the current directory is
      {R"(\\?\Volume{4c1b02c1-d990-11dc-99ae-806e6f6e6963}\Quill)", "/S"},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.environment = {{"USERPROFILE", R"(C:\Users\ada)"}, {"ProgramFiles", R"(C:\Program Files)"}};
    InstalledProduct found = entry("Quill", R"("C:\Program Files\Yoxa Quill\uninst.exe")");
    found.install_location = c.install_location;
    rig.installed.by_name[RootScope::UserOnly] = {found, 1};
    (void)rig.run({"quill"});
    EXPECT_EQ(rig.started.back(), std::string(R"(C:\Program Files\Yoxa Quill\uninst.exe )") + c.expected_tail)
        << c.install_location;
    if (std::string_view(c.expected_tail) == "/S") {
      EXPECT_TRUE(contains(rig.log, "Yoxa Quill: not passing _?=")) << c.install_location << "\n" << rig.log;
    }
  }
}

TEST(UninstallString, EndsAHungUninstallerAndNotesACancelWithoutCuttingTheRemovalShort) {
  Rig hung;
  hung.uninstaller_hangs = true;
  hung.installed.by_name[RootScope::UserOnly] = {entry("Quill", R"("C:\Apps\Quill\uninst.exe")"), -1};
  const auto results = hung.run({"quill", "abacus"});
  EXPECT_EQ(status_of(results[0]), "failed UNINSTALL_FAILED");
  EXPECT_EQ(status_of(results[1]), "already_absent");  // the run goes on
  EXPECT_GE(hung.wait_limit, std::chrono::seconds(std::chrono::minutes(30)));
  EXPECT_TRUE(contains(hung.log, "Yoxa Quill uninstaller still running after 60 minutes; it was ended")) << hung.log;
  EXPECT_TRUE(contains(hung.uninstall_log("quill"), "\nexit: None\n")) << hung.uninstall_log("quill");
  EXPECT_TRUE(hung.pauses.empty());  // no re-detect poll for an uninstaller we ended

  Rig cancelled;
  cancelled.cancel_after = 2;  // the cancel shows on the uninstaller's second second
  cancelled.uninstaller_polls = 5;
  cancelled.installed.by_name[RootScope::UserOnly] = {entry("Quill", R"("C:\Apps\Quill\uninst.exe")"), 1};
  const auto after_cancel = cancelled.run({"quill", "abacus", "folio"});
  EXPECT_EQ(status_of(after_cancel[0]), "uninstalled");
  EXPECT_EQ(status_of(after_cancel[1]), "cancelled");
  EXPECT_EQ(status_of(after_cancel[2]), "cancelled");
  const std::string noted = "Yoxa Quill: cancel received; the removal under way is finished first";
  EXPECT_TRUE(contains(cancelled.log, noted)) << cancelled.log;
  EXPECT_EQ(cancelled.log.find(noted), cancelled.log.rfind(noted));  // noted once
}

TEST(UninstallString, AReadErrorIsNeverTakenForGone) {
  const struct {
    const char* name;
    int unreadable;  // failing re-detect look-ups; -1: all
    const char* status;
    std::size_t pauses;
    const char* logged;
  } cases[] = {
      {"unreadable, then gone", 2, "uninstalled", 2, "Yoxa Quill: confirmed removed after UninstallString"},
      {"never readable", -1, "failed UNINSTALL_FAILED", 29,
       "Yoxa Quill could not be confirmed removed 30s after running UninstallString (exit Some(0)): "},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.installed.unreadable_lookups = c.unreadable;
    rig.installed.by_name[RootScope::UserOnly] = {entry("Quill", R"("C:\Apps\Quill\uninst.exe")"), 1};
    EXPECT_EQ(status_of(rig.run({"quill"})[0]), c.status) << c.name;
    EXPECT_EQ(rig.pauses.size(), c.pauses) << c.name;
    EXPECT_TRUE(contains(rig.log, c.logged)) << c.name << "\n" << rig.log;
  }
}

TEST(UninstallString, LogsRegistryTextAsPrintableAndTheExitCodeSigned) {
  Rig rig;
  rig.uninstaller_exit = 0xFFFFFFFFu;
  rig.installed.by_name[RootScope::UserOnly] = {
      entry("Quill", "\"C:\\Apps\\Quill\n[2026-01-01 00:00:00] [INFO] forged\\uninst.exe\" /keep"), 1};
  (void)rig.run({"quill"});
  EXPECT_FALSE(contains(rig.log, "\n[2026-01-01 00:00:00] [INFO] forged")) << rig.log;
  EXPECT_TRUE(contains(rig.log, "via UninstallString: C:\\Apps\\Quill\\x0a[2026-01-01")) << rig.log;
  EXPECT_TRUE(contains(rig.log, "Yoxa Quill: uninstaller exited Some(-1)")) << rig.log;
}

// The real runner against real children of this platform.
TEST(RunCapturing, EndsAChildAtTheLimitAndKeepsOnlyTheFirstMegabyte) {
  int polls = 0;
  const auto started = std::chrono::steady_clock::now();
  const auto hung = run_capturing("/bin/sh", {"-c", "exec sleep 30"},
                                  {.limit = std::chrono::seconds(1), .on_poll = [&] { ++polls; }});
  ASSERT_TRUE(hung) << hung.error().text;
  EXPECT_TRUE(hung->timed_out);
  EXPECT_GE(polls, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));

  const auto chatty = run_capturing("/bin/sh", {"-c", "head -c 3000000 /dev/zero; echo done >&2"},
                                    {.limit = std::chrono::seconds(60), .on_poll = {}});
  ASSERT_TRUE(chatty) << chatty.error().text;
  EXPECT_FALSE(chatty->timed_out);
  EXPECT_EQ(chatty->exit_code, 0u);
  EXPECT_EQ(chatty->standard_output.size(), kUninstallerOutputLimit);
  EXPECT_EQ(chatty->standard_error, "done\n");
  EXPECT_TRUE(chatty->output_truncated);
}

TEST(UninstallMsi, ConfirmsEveryProductUnderTheUpgradeCodeIsGone) {
  const struct {
    const char* name;
    std::function<void(Rig&)> arrange;
    const char* status;
    const char* logged;
  } cases[] = {
      {"gone", [](Rig&) {}, "uninstalled", "Yoxa Quill: removed"},
      {"msiexec said 0 but it stays", [](Rig& r) { r.msiexec_leaves_it = true; }, "failed UNINSTALL_FAILED",
       "Yoxa Quill still present in User hive(s) after msiexec /x (exit 0): {QUILL-CODE}; see "},
      {"a second product under the code",
       [](Rig& r) { r.installed.also_under_upgrade = {entry("{QUILL-SIDE}", std::nullopt)}; },
       "failed UNINSTALL_FAILED", "after msiexec /x (exit 0): {QUILL-SIDE}; see "},
      {"cannot look again", [](Rig& r) { r.installed.products_fail = true; }, "failed UNINSTALL_FAILED",
       "Yoxa Quill could not be confirmed removed after msiexec /x: "},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.installed.by_upgrade[RootScope::UserOnly] = entry("{QUILL-CODE}", std::nullopt);
    c.arrange(rig);
    EXPECT_EQ(status_of(rig.run({"quill"})[0]), c.status) << c.name;
    EXPECT_TRUE(contains(rig.log, c.logged)) << c.name << "\n" << rig.log;
    EXPECT_EQ(rig.installed.lookups.back(), "products user") << c.name;
  }
}

// --- MSIX apps ---------------------------------------------------------------------------

TEST(UninstallMsix, RemovesForTheUserOrForAllUsers) {
  const std::string family = "YoxaCorporation.YoxaAbacus_v4x2s8k1qa0mt";
  const std::string user_script = remove_for_user_script("YoxaCorporation.YoxaAbacus", family);
  const std::string all_script = remove_for_all_users_script("YoxaCorporation.YoxaAbacus", family);
  const std::string deprovision = deprovision_script("YoxaCorporation.YoxaAbacus");
  const std::string query = all_users_query_script("YoxaCorporation.YoxaAbacus", family);
  const struct {
    const char* name;
    bool machine;
    bool for_user;
    bool provisioned;
    bool elevated;
    std::string failing;
    Strings scripts;
    const char* status;
    const char* logged;
  } cases[] = {
      {"user", false, true, false, false, "", {user_script}, "uninstalled", "MSIX unregistered for current user"},
      {"user fails", false, true, false, false, "Remove-AppxPackage", {user_script}, "failed UNINSTALL_FAILED",
       "per-user MSIX uninstall failed: "},
      {"provisioned, elevated", false, false, true, true, "", {all_script, query, deprovision}, "uninstalled",
       "provisioned machine-wide; elevated \u2014 removing all-users"},
      {"provisioned, unelevated", false, false, true, false, "", {}, "already_absent",
       "(machine provisioning left intact)"},
      {"machine", true, true, false, false, "", {all_script, query, deprovision}, "uninstalled", "MSIX uninstalled"},
      {"machine, de-provisioning fails", true, false, true, false, "Remove-AppxProvisionedPackage",
       {all_script, query, deprovision}, "uninstalled",
       "YoxaCorporation.YoxaAbacus: MSIX de-provisioning skipped/failed: "},
      {"machine fails", true, true, false, false, "-AllUsers", {all_script}, "failed UNINSTALL_FAILED",
       "Yoxa Abacus: MSIX uninstall failed: "},
      {"machine, absent", true, false, false, false, "", {query}, "already_absent", "MSIX not installed (family "},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.elevated = c.elevated;
    rig.failing_script = c.failing;
    if (c.for_user) rig.installed.msix_for_user.insert(family);
    if (c.provisioned) rig.installed.provisioned.insert(family);
    EXPECT_EQ(status_of(rig.run({"abacus"}, c.machine)[0]), c.status) << c.name;
    EXPECT_EQ(rig.scripts, c.scripts) << c.name;
    EXPECT_TRUE(contains(rig.log, c.logged)) << c.name << "\n" << rig.log;
  }
}

TEST(UninstallMsix, DecidesAllUsersPresenceForEveryAccount) {
  const std::string family = "YoxaCorporation.YoxaAbacus_v4x2s8k1qa0mt";
  const std::string all_script = remove_for_all_users_script("YoxaCorporation.YoxaAbacus", family);
  const std::string query = all_users_query_script("YoxaCorporation.YoxaAbacus", family);
  const struct {
    const char* name;
    Strings answers;  // the query's output, call by call
    std::string failing;
    Strings scripts;
    const char* status;
    const char* logged;
  } cases[] = {
      // Neither this account nor the provisioning store has it; another account does.
      {"another account only", {"YoxaCorporation.YoxaAbacus_4.0.0.0_x64__v4x2s8k1qa0mt", ""}, "",
       {query, all_script, query, deprovision_script("YoxaCorporation.YoxaAbacus")}, "uninstalled",
       "Yoxa Abacus: MSIX uninstalled"},
      {"nobody", {""}, "", {query}, "already_absent", "MSIX not installed (family "},
      {"query fails", {}, "PackageFullName", {query}, "failed UNINSTALL_FAILED",
       "could not tell whether YoxaCorporation.YoxaAbacus_v4x2s8k1qa0mt is registered for any user"},
      {"still registered after the removal", {"X_4.0.0.0_x64__v4x2s8k1qa0mt", "X_4.0.0.0_x64__v4x2s8k1qa0mt"}, "",
       {query, all_script, query}, "failed UNINSTALL_FAILED",
       "Yoxa Abacus still registered for a user after Remove-AppxPackage -AllUsers"},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.all_users_answers = c.answers;
    rig.failing_script = c.failing;
    EXPECT_EQ(status_of(rig.run({"abacus"}, true)[0]), c.status) << c.name;
    EXPECT_EQ(rig.scripts, c.scripts) << c.name;
    EXPECT_TRUE(contains(rig.log, c.logged)) << c.name << "\n" << rig.log;
  }
}

TEST(UninstallMsix, QuotesTheFamilyInEveryScript) {
  EXPECT_EQ(msix_package_name("Pkg_abc_def"), "Pkg");
  EXPECT_EQ(msix_package_name("NoUnderscore"), "NoUnderscore");
  EXPECT_EQ(remove_for_user_script("O'Pkg", "O'Pkg_x"),
            "Appx\\Get-AppxPackage -Name 'O''Pkg*' | Microsoft.PowerShell.Core\\Where-Object { $_.PackageFamilyName "
            "-eq 'O''Pkg_x' } | Appx\\Remove-AppxPackage");
  EXPECT_EQ(remove_for_all_users_script("P", "P_x"),
            "Appx\\Get-AppxPackage -Name 'P*' -AllUsers | Microsoft.PowerShell.Core\\Where-Object { "
            "$_.PackageFamilyName -eq 'P_x' } | Appx\\Remove-AppxPackage -AllUsers");
  EXPECT_EQ(all_users_query_script("O'P", "O'P_x"),
            "Appx\\Get-AppxPackage -Name 'O''P*' -AllUsers | Microsoft.PowerShell.Core\\Where-Object { "
            "$_.PackageFamilyName -eq 'O''P_x' } | Microsoft.PowerShell.Utility\\Select-Object -ExpandProperty "
            "PackageFullName -First 1");
  EXPECT_EQ(deprovision_script("O'P"),
            "Dism\\Get-AppxProvisionedPackage -Online | Microsoft.PowerShell.Core\\Where-Object { $_.DisplayName -eq "
            "'O''P' } | Microsoft.PowerShell.Core\\ForEach-Object { Dism\\Remove-AppxProvisionedPackage -Online "
            "-PackageName $_.PackageName }");
}

// --- pre-check -----------------------------------------------------------------------------

TEST(UninstallPrecheck, AsksTheUserFirstThenTheMachine) {
  const InstalledProduct found = entry("X", std::nullopt);
  const struct {
    const char* name;
    std::function<void(FakeInstalled&)> arrange;
    PrecheckAnswer answer;
    Strings lookups;
  } cases[] = {
      {"user by name", [&](FakeInstalled& i) { i.by_name[RootScope::UserOnly] = {found}; }, PrecheckAnswer::PerUser,
       {"name user"}},
      {"user by upgrade code", [&](FakeInstalled& i) { i.by_upgrade[RootScope::UserOnly] = found; },
       PrecheckAnswer::PerUser, {"name user", "upgrade user"}},
      {"machine by upgrade code", [&](FakeInstalled& i) { i.by_upgrade[RootScope::MachineOnly] = found; },
       PrecheckAnswer::MachineWide, {"name user", "upgrade user", "upgrade machine"}},
      {"user lookup fails",
       [&](FakeInstalled& i) {
         i.upgrade_fails.insert(RootScope::UserOnly);
         i.by_upgrade[RootScope::MachineOnly] = found;
       },
       PrecheckAnswer::MachineWide, {"name user", "upgrade user", "upgrade machine"}},
      {"machine by name", [&](FakeInstalled& i) { i.by_name[RootScope::MachineOnly] = {found}; },
       PrecheckAnswer::MachineWide, {"name user", "upgrade user", "upgrade machine", "name machine"}},
      {"absent", [](FakeInstalled&) {}, PrecheckAnswer::Absent,
       {"name user", "upgrade user", "upgrade machine", "name machine"}},
  };
  for (const auto& c : cases) {
    FakeInstalled installed;
    c.arrange(installed);
    EXPECT_EQ(uninstall_precheck(installed, app("quill")), c.answer) << c.name;
    EXPECT_EQ(installed.lookups, c.lookups) << c.name;
  }

  FakeInstalled msix;
  EXPECT_EQ(uninstall_precheck(msix, app("lumen")), PrecheckAnswer::MachineWide);
  msix.msix_for_user.insert(std::string(app("lumen").family_name));
  EXPECT_EQ(uninstall_precheck(msix, app("lumen")), PrecheckAnswer::PerUser);
  EXPECT_EQ(precheck_text(PrecheckAnswer::MachineWide), "MachineWide");
}

}  // namespace
}  // namespace yoxa
