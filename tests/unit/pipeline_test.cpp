#include "install/pipeline.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>

#include "core/messages.h"
#include "install/install_exe.h"
#include "install/pipeline_steps.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testing::logged_by;
using Strings = std::vector<std::string>;

const std::string kStaged = "C:\\base\\installer\\";

// A provider that stages nothing: each fetch answers a path (the offline name by default) or a scripted outcome.
class FakeProvider final : public PackageProvider {
 public:
  std::span<const AppDescriptor> app_list() const override { return rows; }
  FetchOutcome fetch(const AppDescriptor& row, const std::string&, const EventSink&,
                     const CancelToken&) const override {
    fetched.emplace_back(row.id);
    timeline.push_back("fetch " + std::string(row.id));
    if (auto scripted = fetch_script.find(std::string(row.id)); scripted != fetch_script.end()) {
      return scripted->second();
    }
    return std::optional<std::string>(kStaged + "installer-voffline." + std::string(row.format));
  }
  Result<PreparedDependencies> prepare_dependencies(const AppDescriptor&, const std::string& installer_dir,
                                                    const EventSink&, const CancelToken&) const override {
    dependency_dirs.push_back(installer_dir);
    return dependencies;
  }
  std::optional<std::string> bundled_version(std::string_view app_id) const override {
    if (auto found = bundled.find(std::string(app_id)); found != bundled.end()) return found->second;
    return std::nullopt;
  }
  std::optional<std::uint64_t> bundled_size(std::string_view) const override { return std::nullopt; }
  Result<void> preflight() const override { return preflight_result; }
  // Records when the download-ahead of an app starts and when it is ended (handed over).
  std::unique_ptr<PackageDownloadAhead> download_ahead(const AppDescriptor& row, const std::string&,
                                                       const CancelToken&) const override {
    struct Recorder final : PackageDownloadAhead {
      Recorder(Strings& timeline, std::string id) : timeline_(timeline), id_(std::move(id)) {
        timeline_.push_back("ahead " + id_);
      }
      ~Recorder() override { timeline_.push_back("handed " + id_); }
      Strings& timeline_;
      std::string id_;
    };
    return std::make_unique<Recorder>(timeline, std::string(row.id));
  }

  mutable Strings timeline;
  std::vector<AppDescriptor> rows{app_table().begin(), app_table().end()};
  std::map<std::string, std::function<FetchOutcome()>> fetch_script;
  std::map<std::string, std::string> bundled;
  Result<PreparedDependencies> dependencies = PreparedDependencies{};
  Result<void> preflight_result;
  mutable Strings fetched;
  mutable Strings dependency_dirs;
};

InstalledProduct product(const std::string& key, const std::string& version) {
  InstalledProduct found;
  found.key = key;
  found.version = version;
  return found;
}

std::function<FetchOutcome()> staged_as(const std::string& name) {
  return [name] { return FetchOutcome(std::optional<std::string>(kStaged + name)); };
}
std::function<FetchOutcome()> fetch_fails(const char* message) {
  return [message] { return FetchOutcome(fail(message, "from the test", 9001)); };
}

// What is installed, answered from the rig's maps.
struct Rig;
class FakeInstalledApps final : public InstalledApps {
 public:
  explicit FakeInstalledApps(Rig& rig) : rig_(rig) {}
  bool installed_machine_wide(const AppDescriptor& app) const override;
  std::optional<std::string> msix_installed_version(std::string_view family) const override;
  Result<std::optional<InstalledProduct>> find_by_upgrade_code(std::string_view code) const override;
  std::optional<InstalledProduct> find_by_product_name(std::string_view name) const override;
  std::optional<std::string> installed_path(const AppDescriptor& app) const override {
    return "C:\\Apps\\" + std::string(app.id) + ".exe";
  }
  std::optional<std::string> installed_version(const AppDescriptor&) const override { return "3.0"; }

 private:
  Rig& rig_;
};

// The pipeline's surroundings, all in memory but the quit file. A table case builds a fresh one.
struct Rig {
  Rig() {
    std::ofstream(quit_file_) << "";
    auto [sink, receiver] = make_event_channel();
    sink_.emplace(std::move(sink));
    receiver_.emplace(std::move(receiver));
  }

  // Every platform question answered in memory; the quit file alone is real.
  InstallHost host() {
    InstallHost made;
    made.windows_build = [this] { return build_; };
    made.processor_architecture = [this] { return arch_; };
    made.check_disk_space = [this](const std::string&, std::span<const AppDescriptor* const> selected, bool machine) {
      disk_checks_.push_back({selected.size(), machine});
      return disk_result_;
    };
    made.prepare_machine_staging_directory = [this](const std::string&) {
      calls_.push_back("restrict staging");
      return staging_result_;
    };
    made.stop_running_app = [this](std::string_view name) { calls_.push_back("stop " + std::string(name)); };
    made.clean_up_old_installer_files = [this](const std::string& staged) { calls_.push_back("clean " + staged); };
    made.installers.msi = [this](const RunContext&, const InstallRequest& request) {
      return installer("msi", request.app.id, request.package_path, request.machine);
    };
    made.installers.msix = [this](const RunContext&, const InstallRequest& request) {
      frameworks_passed_ = request.dependencies.frameworks.size();
      return installer("msix", request.app.id, request.package_path, request.machine);
    };
    made.installers.exe = [this](const RunContext&, const InstallRequest& request) {
      return installer("exe", request.app.id, request.package_path, request.machine);
    };
    return made;
  }

  InstallerOutcome installer(const char* kind, std::string_view app, const std::string& path, bool machine) {
    calls_.push_back(format("{} {} {} machine={}", kind, app, path, machine));
    provider_.timeline.push_back("install " + std::string(app));
    if (auto scripted = installer_script_.find(std::string(app)); scripted != installer_script_.end()) {
      return scripted->second();
    }
    return InstallerStatus::Succeeded;
  }

  static std::optional<std::string> lookup(const std::map<std::string, std::string>& map, std::string_view key) {
    if (auto found = map.find(std::string(key)); found != map.end()) return found->second;
    return std::nullopt;
  }

  Result<InstallOutcome> run(const Strings& ids, bool machine = false, bool privileged = false) {
    const RunContext context{
        .settings = {.app_ids = ids, .machine = machine, .staging_base = "C:\\base", .privileged = privileged,
                     .log_dir = "C:\\base\\logs"},
        .sink = *sink_,
        .cancel = CancelToken::quit_file(quit_file_.string()),
        .pause = [this](milliseconds length) { pauses_.push_back(length); },
        .installed = &installed_,
    };
    Result<InstallOutcome> outcome;
    log_ += logged_by([&] { outcome = run_install(provider_, context, host()); });
    return outcome;
  }

  // The run's events in short form: "CHECKING quill", "download quill 0/2", "80 INSTALLING quill",
  // "quill installed C:\Apps\quill.exe 3.0", "warn <message>".
  Strings events() {
    sink_.reset();
    Strings seen;
    while (auto text = receiver_->receive()) {
      const Json event = Json::parse(*text);
      const std::string type = event["type"];
      if (type == "progress" && event["detailCode"] == "CHECKING") {
        EXPECT_EQ(event["percent"], 0);
        EXPECT_EQ(event["indeterminate"], true);
        seen.push_back("CHECKING " + event["app"].get<std::string>());
      } else if (type == "progress") {
        seen.push_back(format("{} {} {}", event["percent"].get<int>(), event["detailCode"].get<std::string>(),
                              event["app"].get<std::string>()));
      } else if (type == "stage") {
        seen.push_back(format("{} {} {}/{}", event["stage"].get<std::string>(), event["app"].get<std::string>(),
                              event["index"].get<int>(), event["total"].get<int>()));
      } else if (type == "app-result") {
        seen.push_back(describe(event));
      } else if (type == "log") {
        seen.push_back(event["level"].get<std::string>() + " " + event["message"].get<std::string>());
      }
    }
    return seen;
  }

  // "quill installed C:\Apps\quill.exe 3.0", "quill failed INSTALL_FAILED", "quill cancelled".
  static std::string describe(const Json& result) {
    std::string text = result["app"].get<std::string>() + " " + result["status"].get<std::string>();
    for (const char* key : {"errorCode", "installedPath", "installedVersion"}) {
      if (!result[key].is_null()) text += " " + result[key].get<std::string>();
    }
    return text;
  }
  static Strings described(const InstallOutcome& outcome) {
    Strings texts;
    for (const auto& result : outcome.results) texts.push_back(describe(app_result_object(result)));
    return texts;
  }

  bool logged(const std::string& line) const { return log_.find(line) != std::string::npos; }

  // Calls of one kind ("msi", "clean", "stop") in order.
  Strings calls(std::string_view kind) const {
    Strings matching;
    for (const auto& call : calls_) {
      if (call.starts_with(std::string(kind) + " ")) matching.push_back(call);
    }
    return matching;
  }

  testing::TempDir dir_;
  fs::path quit_file_ = dir_.path() / "run.lock";
  FakeProvider provider_;
  Result<std::uint32_t> build_ = 22631u;
  ProcessorArch arch_ = ProcessorArch::X64;
  Result<void> disk_result_;
  Result<void> staging_result_;
  std::vector<std::pair<std::size_t, bool>> disk_checks_;
  std::map<std::string, int> machine_wide_checks_;
  // Registered machine-wide from this check on. Folio always installs machine-wide, so it registers there.
  std::map<std::string, int> machine_wide_from_check_{{"folio", 1}};
  std::map<std::string, std::string> upgrade_versions_;  // by packed upgrade code
  std::map<std::string, std::string> name_versions_;     // by product name
  std::map<std::string, std::string> msix_versions_;     // by family name
  bool upgrade_lookup_fails_ = false;
  std::map<std::string, std::function<InstallerOutcome()>> installer_script_;
  std::size_t frameworks_passed_ = 0;
  Strings calls_;
  std::vector<milliseconds> pauses_;
  std::string log_;
  std::optional<EventSink> sink_;
  std::optional<EventReceiver> receiver_;
  FakeInstalledApps installed_{*this};
};

bool FakeInstalledApps::installed_machine_wide(const AppDescriptor& app) const {
  const int checks = ++rig_.machine_wide_checks_[std::string(app.id)];
  const auto from = rig_.machine_wide_from_check_.find(std::string(app.id));
  return from != rig_.machine_wide_from_check_.end() && checks >= from->second;
}
std::optional<std::string> FakeInstalledApps::msix_installed_version(std::string_view family) const {
  return Rig::lookup(rig_.msix_versions_, family);
}
Result<std::optional<InstalledProduct>> FakeInstalledApps::find_by_upgrade_code(std::string_view code) const {
  if (rig_.upgrade_lookup_fails_) return fail(msg::kPreviousInstallationProblem, "access denied", 5101);
  if (auto version = Rig::lookup(rig_.upgrade_versions_, code)) return product("{PRODUCT}", *version);
  return std::nullopt;
}
std::optional<InstalledProduct> FakeInstalledApps::find_by_product_name(std::string_view name) const {
  if (auto version = Rig::lookup(rig_.name_versions_, name)) return product("UninstallKey", *version);
  return std::nullopt;
}

class Pipeline : public ::testing::Test, public Rig {};

// --- run-wide gates ------------------------------------------------------------------------

TEST_F(Pipeline, CompatibilityGate) {
  const struct {
    ProcessorArch arch;
    std::uint32_t build;
    const char* unmet;  // null: the run goes ahead
  } cases[] = {
      {ProcessorArch::Arm64, 21999, "Windows 11 (build 22000) or newer required on ARM64 devices"},
      {ProcessorArch::Arm64, 22000, nullptr},
      {ProcessorArch::X64, 17762, "Windows 10 version 1809 (build 17763) or newer required"},
      {ProcessorArch::X64, 17763, nullptr},
      {ProcessorArch::X86, 26100, "This app is only supported on 64-bit Windows 10 or newer"},
      {ProcessorArch::Unknown, 26100, "This app is only supported on 64-bit Windows 10 or newer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(format("{} {}", display_text(c.arch), c.build));
    arch_ = c.arch;
    build_ = c.build;
    provider_.fetched.clear();
    log_.clear();
    const auto outcome = run({"quill"});
    if (!c.unmet) {
      ASSERT_TRUE(outcome) << outcome.error().full_text();
      EXPECT_TRUE(logged("System compatibility check passed"));
      EXPECT_EQ(provider_.fetched, Strings{"quill"});
      continue;
    }
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message(), msg::kSystemRequirementsNotMet);
    EXPECT_EQ(outcome.error().detail(), c.unmet);
    EXPECT_EQ(code_for_error(outcome.error()), ErrorKind::NotCompatible);
    EXPECT_TRUE(provider_.fetched.empty());
  }
}

TEST_F(Pipeline, GateFailuresEndTheRunWithTheirOwnErrorAndNoResults) {
  const Error preflight(msg::kCouldNotContactServer, "no route", 3301);
  const Error build(msg::kCompatibilityCheckProblem, "CurrentBuildNumber missing", 5201);
  const Error disk(msg::kNotEnoughDiskSpace, "Required: 900 MB, Available: 10 MB on C:\\ (package staging).", 4803);
  const Error staging(msg::kFilesystemError, "Restring ACL failed: denied", 4805);
  const Error none_selected = Error::same(msg::kNoCompatibleApps, 0);
  const struct {
    const char* name;
    std::function<void(Rig&)> arrange;
    Strings ids;
    bool machine;
    const Error& expected;
  } cases[] = {
      {"preflight", [&](Rig& p) { p.provider_.preflight_result = std::unexpected(preflight); }, {"quill"}, false,
       preflight},
      {"build query", [&](Rig& p) { p.build_ = std::unexpected(build); }, {"quill"}, false, build},
      {"disk space", [&](Rig& p) { p.disk_result_ = std::unexpected(disk); }, {"quill"}, false, disk},
      {"machine staging", [&](Rig& p) { p.staging_result_ = std::unexpected(staging); }, {"quill"}, true,
       staging},
      {"nothing selected", [](Rig&) {}, {"notepad", ""}, false, none_selected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig fresh;
    c.arrange(fresh);
    const auto outcome = fresh.run(c.ids, c.machine);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message(), c.expected.message());
    if (c.expected.place() != 0) {
      EXPECT_EQ(outcome.error().detail(), c.expected.detail());
      EXPECT_EQ(outcome.error().place(), c.expected.place());
    }
    EXPECT_TRUE(fresh.events().empty());
    EXPECT_TRUE(fresh.provider_.fetched.empty());
  }
}

TEST_F(Pipeline, MachineScopeRestrictsStagingAndUserScopeOnlyLogs) {
  ASSERT_TRUE(run({"quill"}, true));
  EXPECT_EQ(calls("restrict"), Strings{"restrict staging"});
  EXPECT_FALSE(logged("User-scope install"));
  calls_.clear();
  ASSERT_TRUE(run({"quill"}, false));
  EXPECT_TRUE(calls("restrict").empty());
  EXPECT_TRUE(
      logged("User-scope install: staging under the user's own profile, no machine ACL restriction needed"));
  EXPECT_EQ(disk_checks_, (std::vector<std::pair<std::size_t, bool>>{{1, true}, {1, false}}));
  // An elevated user-scope run stages in the machine base, so it restricts it the same way.
  calls_.clear();
  ASSERT_TRUE(run({"quill"}, false, true));
  EXPECT_EQ(calls("restrict"), Strings{"restrict staging"});
}

TEST_F(Pipeline, SelectionWithoutSpaceNeedsSkipsTheDiskCheck) {
  provider_.rows = {provider_.rows[0]};
  provider_.rows[0].required_bytes = 0;
  ASSERT_TRUE(run({"quill"}));
  EXPECT_TRUE(disk_checks_.empty());
}

// --- one app from start to end ---------------------------------------------------------------

TEST_F(Pipeline, FreshInstallEventsAndSteps) {
  note_reboot_required();
  const auto outcome = run({"quill"});
  ASSERT_TRUE(outcome) << outcome.error().full_text();
  EXPECT_FALSE(reboot_required()) << "a run starts with the flag cleared";
  EXPECT_FALSE(outcome->aborted);
  const std::string staged = kStaged + "installer-voffline.msi";
  EXPECT_EQ(events(), (Strings{"CHECKING quill", "download quill 0/1", "install quill 0/1", "80 INSTALLING quill",
                               "quill installed C:\\Apps\\quill.exe 3.0"}));
  EXPECT_EQ(calls_, (Strings{"stop YoxaQuill", "msi quill " + staged + " machine=false", "clean " + staged}));
  EXPECT_EQ(provider_.dependency_dirs, Strings{staging_directory("C:\\base")});
  EXPECT_TRUE(logged("Yoxa Quill installed successfully"));
  EXPECT_EQ(described(*outcome), Strings{"quill installed C:\\Apps\\quill.exe 3.0"});
}

TEST_F(Pipeline, AppsRunInTableOrderWhateverTheSelectionOrder) {
  const auto outcome = run({"folio", "nope", "quill", "folio"});
  ASSERT_TRUE(outcome);
  EXPECT_EQ(provider_.fetched, (Strings{"quill", "folio"}));
  EXPECT_EQ(described(*outcome), (Strings{"quill installed C:\\Apps\\quill.exe 3.0",
                                          "folio installed C:\\Apps\\folio.exe 3.0"}));
  const Strings seen = events();
  EXPECT_NE(std::find(seen.begin(), seen.end(), "download folio 1/2"), seen.end());
  EXPECT_NE(std::find(seen.begin(), seen.end(), "install quill 0/2"), seen.end());
}

// --- scope ------------------------------------------------------------------------------------

TEST_F(Pipeline, MachineWideInstallIsLeftAloneOnlyByUserScopeNonMsixRuns) {
  const struct {
    const char* app;
    bool machine_run;
    const char* result;
  } cases[] = {
      {"quill", false, "quill skipped C:\\Apps\\quill.exe 3.0"},
      {"quill", true, "quill installed C:\\Apps\\quill.exe 3.0"},
      {"abacus", false, "abacus installed C:\\Apps\\abacus.exe 3.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(format("{} machine={}", c.app, c.machine_run));
    Rig fresh;
    fresh.machine_wide_from_check_[c.app] = 1;
    const auto outcome = fresh.run({c.app}, c.machine_run);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(described(*outcome), Strings{c.result});
    const bool skipped = std::string(c.result).find("skipped") != std::string::npos;
    EXPECT_EQ(fresh.provider_.fetched.empty(), skipped);
    EXPECT_EQ(fresh.logged("Yoxa Quill: already installed machine-wide; skipping (user scope leaves it intact)"),
              skipped);
  }
}

TEST_F(Pipeline, MachineOnlyAppInstallsMachineWideAndMustBeRegisteredThere) {
  const struct {
    int registered_from;  // 0: never
    const char* result;
    std::size_t checks;
  } cases[] = {
      {0, "folio failed INSTALL_FAILED", 6},
      {3, "folio installed C:\\Apps\\folio.exe 3.0", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    Rig fresh;
    fresh.machine_wide_from_check_.erase("folio");
    if (c.registered_from) fresh.machine_wide_from_check_["folio"] = c.registered_from;
    const auto outcome = fresh.run({"folio"}, false);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(described(*outcome), Strings{c.result});
    EXPECT_EQ(fresh.calls("msi"), Strings{"msi folio " + kStaged + "installer-voffline.msi machine=true"});
    EXPECT_EQ(fresh.machine_wide_checks_["folio"], static_cast<int>(c.checks));
    EXPECT_EQ(fresh.pauses_, std::vector<milliseconds>(c.checks - 1, milliseconds(500)));
    EXPECT_EQ(fresh.logged("Yoxa Folio reported a successful machine-scope install but is not registered "
                           "machine-wide; the package likely ignored ALLUSERS=1 and installed per-user (see "
                           "docs/published/WINDOWS_ARCHITECTURE.md, Install Scope)"),
              c.registered_from == 0);
    EXPECT_EQ(fresh.calls("clean").size(), 1u) << "a failed confirmation still cleans up";
  }
}

// --- installed and offered versions ------------------------------------------------------------

TEST_F(Pipeline, InstalledVersionDecidesBetweenSkipUpdateAndInstall) {
  struct Case {
    const char* name;
    const char* app = "quill";
    std::optional<std::string> by_upgrade_code = std::nullopt;
    std::optional<std::string> by_product_name = std::nullopt;
    std::optional<std::string> msix = std::nullopt;
    bool upgrade_lookup_fails = false;
    std::optional<std::string> bundled = std::nullopt;
    std::optional<std::string> staged_name = std::nullopt;  // none: the offline name
    const char* status = "";                                // "skipped", "updated" or "installed"
    bool fetched = false;
    const char* log_line = "";
  };
  const Case cases[] = {
      {.name = "equal to bundled",
       .by_upgrade_code = "2.0",
       .bundled = "2.0.0",
       .status = "skipped",
       .fetched = false,
       .log_line = "Yoxa Quill: v2.0 installed, bundled v2.0.0 — already up to date, skipping"},
      {.name = "older than bundled",
       .by_upgrade_code = "1.9",
       .bundled = "1.10",
       .status = "updated",
       .fetched = true,
       .log_line = "Yoxa Quill: v1.9 installed, bundled v1.10 — upgrading"},
      {.name = "server version older, compared as numbers",
       .by_upgrade_code = "1.10",
       .staged_name = "installer-v1.9.msi",
       .status = "skipped",
       .fetched = true,
       .log_line = "Yoxa Quill: v1.10 installed, server v1.9 — already up to date, skipping"},
      {.name = "server version newer",
       .by_upgrade_code = "1.9",
       .staged_name = "installer-v1.10.msi",
       .status = "updated",
       .fetched = true,
       .log_line = "Yoxa Quill: v1.9 installed, server v1.10 — upgrading"},
      {.name = "offline package never counts as up to date",
       .by_upgrade_code = "99.0",
       .staged_name = "installer-voffline.msi",
       .status = "updated",
       .fetched = true,
       .log_line = "Yoxa Quill: installed ({PRODUCT}, 99.0)"},
      {.name = "staged name of another format",
       .by_upgrade_code = "99.0",
       .staged_name = "installer-v1.0.msix",
       .status = "updated",
       .fetched = true,
       .log_line = "Yoxa Quill: installed ({PRODUCT}, 99.0)"},
      {.name = "unreadable version proceeds",
       .by_upgrade_code = "2.0-beta",
       .bundled = "2.0",
       .status = "updated",
       .fetched = true,
       .log_line = "Yoxa Quill: version compare failed (version parse error); proceeding with install"},
      {.name = "placeholder version counts as none",
       .by_upgrade_code = "1",
       .bundled = "0.5",
       .staged_name = "installer-v0.5.msi",
       .status = "installed",
       .fetched = true,
       .log_line = "Yoxa Quill: installed ({PRODUCT}, 1)"},
      {.name = "found by product name",
       .by_product_name = "2.0",
       .bundled = "2.0",
       .status = "skipped",
       .fetched = false,
       .log_line = "Yoxa Quill: installed (UninstallKey, 2.0)"},
      {.name = "failed upgrade-code lookup is no install and ends the lookup",
       .by_product_name = "2.0",
       .upgrade_lookup_fails = true,
       .bundled = "2.0",
       .status = "installed",
       .fetched = true,
       .log_line = "Yoxa Quill installed successfully"},
      {.name = "msix",
       .app = "abacus",
       .msix = "3.0",
       .bundled = "3.0",
       .status = "skipped",
       .fetched = false,
       .log_line = "Yoxa Abacus: MSIX installed version 3.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig fresh;
    const AppDescriptor& app = *app_by_id(c.app);
    if (c.by_upgrade_code) fresh.upgrade_versions_[std::string(app.upgrade_code)] = *c.by_upgrade_code;
    if (c.by_product_name) fresh.name_versions_[std::string(app.product_name)] = *c.by_product_name;
    if (c.msix) fresh.msix_versions_[std::string(app.family_name)] = *c.msix;
    fresh.upgrade_lookup_fails_ = c.upgrade_lookup_fails;
    if (c.bundled) fresh.provider_.bundled[c.app] = *c.bundled;
    if (c.staged_name) fresh.provider_.fetch_script[c.app] = staged_as(*c.staged_name);

    const auto outcome = fresh.run({c.app});
    ASSERT_TRUE(outcome);
    ASSERT_EQ(outcome->results.size(), 1u);
    EXPECT_EQ(wire_string(outcome->results[0].status), c.status);
    EXPECT_EQ(outcome->results[0].installed_path, "C:\\Apps\\" + std::string(c.app) + ".exe");
    EXPECT_EQ(fresh.provider_.fetched.size(), c.fetched ? 1u : 0u);
    const bool installer_ran = std::string_view(c.status) != "skipped";
    EXPECT_EQ(fresh.calls(app.installer_kind == InstallerKind::Msix ? "msix" : "msi").size(), installer_ran ? 1u : 0u);
    // Skips leave the staged package alone.
    EXPECT_EQ(fresh.calls("clean").size(), installer_ran ? 1u : 0u);
    EXPECT_TRUE(fresh.logged(c.log_line)) << fresh.log_;
    if (!c.fetched) {
      for (const auto& event : fresh.events()) EXPECT_EQ(event.find("download"), std::string::npos) << event;
    }
  }
}

// --- per-app failures and the not-available count -------------------------------------------------

TEST_F(Pipeline, NotAvailableWarningOnlyWhenNothingWasInstalled) {
  const std::string two_of_two =
      "warn 2 of 2 selected app(s) are not available for online installation yet — the server returned no download "
      "metadata. Nothing was installed. If this is unexpected, verify the build's server target (idc/local) and "
      "that the endpoints publish these apps.";
  const struct {
    const char* name;
    std::function<FetchOutcome()> quill;
    std::function<FetchOutcome()> folio;  // null: staged normally
    const char* warning_start;            // null: no warning
  } cases[] = {
      {"both not available", fetch_fails(msg::kNotAvailableOnline), fetch_fails(msg::kNotAvailableOnline),
       "warn 2 of 2 selected"},
      {"one installed", fetch_fails(msg::kNotAvailableOnline), nullptr, nullptr},
      {"one failed", fetch_fails(msg::kNotAvailableOnline), fetch_fails(msg::kDownloadFailed), "warn 1 of 2 selected"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig fresh;
    fresh.provider_.fetch_script["quill"] = c.quill;
    if (c.folio) fresh.provider_.fetch_script["folio"] = c.folio;
    const auto outcome = fresh.run({"quill", "folio"});
    ASSERT_TRUE(outcome);
    EXPECT_EQ(describe(app_result_object(outcome->results[0])), "quill skipped C:\\Apps\\quill.exe 3.0");
    EXPECT_TRUE(fresh.logged("Yoxa Quill: not available for online installation, skipping"));
    Strings warnings;
    for (const auto& event : fresh.events()) {
      if (event.starts_with("warn ")) warnings.push_back(event);
    }
    if (!c.warning_start) {
      EXPECT_TRUE(warnings.empty());
      continue;
    }
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].starts_with(c.warning_start)) << warnings[0];
    if (std::string_view(c.name) == "both not available") {
      EXPECT_EQ(warnings[0], two_of_two);
    }
  }
}

TEST_F(Pipeline, AppFailuresAreReportedAndTheRunGoesOn) {
  const struct {
    const char* name;
    std::function<void(Rig&)> arrange;
    const char* result;
    std::size_t installer_runs;  // for quill
    bool cleaned;
    const char* log_start;
  } cases[] = {
      {"acquisition error", [](Rig& r) { r.provider_.fetch_script["quill"] = fetch_fails(msg::kDownloadFailed); },
       "quill failed DOWNLOAD_FAILED", 0, false,
       "Yoxa Quill acquisition failed: Download failed. Please check your internet connection and try again.: from "
       "the test (9001)"},
      {"installer error",
       [](Rig& r) {
         r.installer_script_["quill"] = [] { return InstallerOutcome(fail(msg::kAnotherInstallation, "1618", 1)); };
       },
       "quill failed INSTALL_FAILED", 1, true, "Yoxa Quill install failed: Another installation is already"},
      {"installer error of no known kind",
       [](Rig& r) { r.installer_script_["quill"] = [] { return InstallerOutcome(fail("odd", "", 1)); }; },
       "quill failed UNKNOWN", 1, true, "Yoxa Quill install failed: odd"},
      {"staged path that is not text", [](Rig& r) { r.provider_.fetch_script["quill"] = staged_as("inst\xFF.msi"); },
       "quill failed UNKNOWN", 0, false, "Yoxa Quill install failed: Could not decode path: C:\\base\\installer\\inst"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig fresh;
    c.arrange(fresh);
    const auto outcome = fresh.run({"quill", "folio"});
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->aborted);
    EXPECT_EQ(described(*outcome), (Strings{c.result, "folio installed C:\\Apps\\folio.exe 3.0"}));
    Strings quill_installs;
    for (const auto& call : fresh.calls("msi")) {
      if (call.starts_with("msi quill")) quill_installs.push_back(call);
    }
    EXPECT_EQ(quill_installs.size(), c.installer_runs);
    EXPECT_EQ(fresh.calls("clean").size(), c.cleaned ? 2u : 1u);
    EXPECT_TRUE(fresh.logged(c.log_start)) << fresh.log_;
  }
}

// --- cancellation -----------------------------------------------------------------------------

TEST_F(Pipeline, CancellationStopsTheRunAndCancelsTheRest) {
  const struct {
    const char* name;
    std::function<void(Rig&)> arrange;
    Strings results;
    const char* log_line;  // null: nothing particular
  } cases[] = {
      {"quit file gone before the first app",
       [](Rig& r) { fs::remove(r.quit_file_); },
       {"quill cancelled", "abacus cancelled", "folio cancelled"},
       "Abort detected @ 160"},
      {"quit file gone while the first app installs",
       [](Rig& r) {
         r.installer_script_["quill"] = [&r] {
           fs::remove(r.quit_file_);
           return InstallerOutcome(InstallerStatus::Succeeded);
         };
       },
       {"quill installed C:\\Apps\\quill.exe 3.0", "abacus cancelled", "folio cancelled"},
       "Abort detected @ 160"},
      {"quit file gone while the second app downloads",
       [](Rig& r) {
         r.provider_.fetch_script["abacus"] = [&r] {
           fs::remove(r.quit_file_);
           return FetchOutcome(std::optional<std::string>(kStaged + "installer-v1.0.msix"));
         };
       },
       {"quill installed C:\\Apps\\quill.exe 3.0", "abacus cancelled", "folio cancelled"},
       "Abort detected @ 243"},
      {"provider cancelled the download",
       [](Rig& r) { r.provider_.fetch_script["abacus"] = [] { return FetchOutcome(std::nullopt); }; },
       {"quill installed C:\\Apps\\quill.exe 3.0", "abacus cancelled", "folio cancelled"},
       nullptr},
      {"user cancelled the installer",
       [](Rig& r) { r.installer_script_["abacus"] = [] { return InstallerOutcome(InstallerStatus::Cancelled); }; },
       {"quill installed C:\\Apps\\quill.exe 3.0", "abacus cancelled", "folio cancelled"},
       nullptr},
      {"user cancelled the last installer",
       [](Rig& r) { r.installer_script_["folio"] = [] { return InstallerOutcome(InstallerStatus::Cancelled); }; },
       {"quill installed C:\\Apps\\quill.exe 3.0", "abacus installed C:\\Apps\\abacus.exe 3.0", "folio cancelled"},
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig fresh;
    c.arrange(fresh);
    const auto outcome = fresh.run({"quill", "abacus", "folio"});
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->aborted);
    EXPECT_EQ(described(*outcome), c.results);
    if (c.log_line) {
      EXPECT_TRUE(fresh.logged(c.log_line)) << fresh.log_;
    }
    // Only finished install attempts clean up; a cancelled one leaves its package.
    const auto installed = std::count_if(c.results.begin(), c.results.end(),
                                         [](const std::string& r) { return r.find("installed") != std::string::npos; });
    EXPECT_EQ(fresh.calls("clean").size(), static_cast<std::size_t>(installed));
    // Every reported result reached the launcher too.
    Strings reported;
    for (const auto& event : fresh.events()) {
      if (event.find(" cancelled") != std::string::npos || event.find(" installed ") != std::string::npos) {
        reported.push_back(event);
      }
    }
    EXPECT_EQ(reported, c.results);
  }
}

TEST_F(Pipeline, NextPackageDownloadsAheadWhileTheCurrentAppInstalls) {
  const struct {
    const char* name;
    std::function<void(Rig&)> arrange;
    Strings timeline;
  } cases[] = {
      {"three apps",
       [](Rig&) {},
       {"fetch quill", "ahead abacus", "install quill", "handed abacus", "fetch abacus", "ahead folio",
        "install abacus", "handed folio", "fetch folio", "install folio"}},
      {"quit file gone while the first app installs",
       [](Rig& r) {
         r.installer_script_["quill"] = [&r] {
           fs::remove(r.quit_file_);
           return InstallerOutcome(InstallerStatus::Succeeded);
         };
       },
       {"fetch quill", "ahead abacus", "install quill", "handed abacus"}},
      {"first app failed to install",
       [](Rig& r) { r.installer_script_["quill"] = [] { return InstallerOutcome(fail(msg::kInstallationFailed, "x", 1)); }; },
       {"fetch quill", "ahead abacus", "install quill", "handed abacus", "fetch abacus", "ahead folio",
        "install abacus", "handed folio", "fetch folio", "install folio"}},
      {"user cancelled the first installer",
       [](Rig& r) { r.installer_script_["quill"] = [] { return InstallerOutcome(InstallerStatus::Cancelled); }; },
       {"fetch quill", "ahead abacus", "install quill", "handed abacus"}},
      {"first app up to date after its fetch: nothing to overlap",
       [](Rig& r) {
         r.upgrade_versions_[std::string(app_by_id("quill")->upgrade_code)] = "9.0";
         r.provider_.fetch_script["quill"] = staged_as("installer-v1.0.msi");
       },
       {"fetch quill", "fetch abacus", "ahead folio", "install abacus", "handed folio", "fetch folio",
        "install folio"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig fresh;
    c.arrange(fresh);
    ASSERT_TRUE(fresh.run({"quill", "abacus", "folio"}));
    EXPECT_EQ(fresh.provider_.timeline, c.timeline);
  }
}

TEST_F(Pipeline, NoNotAvailableWarningWhenTheRunWasStopped) {
  provider_.fetch_script["quill"] = fetch_fails(msg::kNotAvailableOnline);
  provider_.fetch_script["folio"] = [] { return FetchOutcome(std::nullopt); };
  const auto outcome = run({"quill", "folio"});
  ASSERT_TRUE(outcome);
  EXPECT_EQ(described(*outcome), (Strings{"quill skipped C:\\Apps\\quill.exe 3.0", "folio cancelled"}));
  for (const auto& event : events()) EXPECT_FALSE(event.starts_with("warn ")) << event;
}

// --- installers -------------------------------------------------------------------------------

TEST_F(Pipeline, DependenciesReachTheMsixInstallerOrAreDroppedWithAWarning) {
  provider_.dependencies = PreparedDependencies{{{"fw.appx", "Runtime", "1.0"}}, {}};
  ASSERT_TRUE(run({"abacus"}));
  EXPECT_EQ(frameworks_passed_, 1u);

  provider_.dependencies = std::unexpected(Error(msg::kFilesystemError, "disk gone", 4501));
  const auto outcome = run({"abacus"});
  ASSERT_TRUE(outcome);
  EXPECT_EQ(frameworks_passed_, 0u);
  EXPECT_EQ(outcome->results[0].status, AppStatus::Installed);
  EXPECT_TRUE(logged("Yoxa Abacus: could not prepare framework dependencies (" +
                     Error(msg::kFilesystemError, "disk gone", 4501).full_text() + "); proceeding without them"));
}

TEST_F(Pipeline, DeclaredExePackageThatIsAnMsiGoesToMsiexec) {
  provider_.rows = {{"notes", "Yoxa Notes", "50", "", "Yoxa Notes", "", "exe", "YoxaNotes", 1, InstallerKind::Exe,
                     false, false}};
  const struct {
    const char* name;
    std::optional<std::string> bytes;  // none: no file at all
    const char* installer;
  } cases[] = {
      {"msi signature", std::string("\xD0\xCF\x11\xE0rest", 8), "msi"},
      {"executable", std::string("MZ\x90\0", 4), "exe"},
      {"shorter than a signature", std::string("\xD0\xCF\x11", 3), "exe"},
      {"missing file", std::nullopt, "exe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path package = dir_.path() / (std::string(c.name) + ".exe");
    if (c.bytes) std::ofstream(package, std::ios::binary) << *c.bytes;
    provider_.fetch_script["notes"] = [package] { return FetchOutcome(std::optional<std::string>(package.string())); };
    calls_.clear();
    log_.clear();
    ASSERT_TRUE(run({"notes"}));
    EXPECT_EQ(calls(c.installer), Strings{format("{} notes {} machine=false", c.installer, package.string())});
    EXPECT_EQ(logged("Detected MSI format despite Exe declaration, running via msiexec"),
              std::string_view(c.installer) == "msi");
  }
}

TEST_F(Pipeline, ExeInstallerRunsInTheAppsScopeAndItsCancelEndsTheRun) {
  provider_.rows = {{"notes", "Yoxa Notes", "50", "", "Yoxa Notes", "", "exe", "YoxaNotes", 1, InstallerKind::Exe,
                     true, false},
                    {"memo", "Yoxa Memo", "51", "", "Yoxa Memo", "", "exe", "YoxaMemo", 1, InstallerKind::Exe,
                     false, false}};
  std::vector<std::string> arguments;
  installer_script_["notes"] = [this, &arguments] {
    ExeHost exe;
    exe.start = [&arguments](const std::string&, const std::vector<std::string>& given)
        -> std::expected<InstallerWaiter, platform::OsError> {
      arguments = given;
      return InstallerWaiter([] { return std::expected<std::uint32_t, platform::OsError>(2u); });
    };
    return install_exe(*sink_, "notes", "C:\\base\\logs", kStaged + "installer-voffline.exe", true, exe);
  };
  const auto outcome = run({"notes", "memo"});
  ASSERT_TRUE(outcome);
  EXPECT_TRUE(outcome->aborted);
  EXPECT_EQ(described(*outcome), (Strings{"notes cancelled", "memo cancelled"}));
  ASSERT_FALSE(arguments.empty());
  EXPECT_EQ(arguments[0], "/allusers");  // a machine-only app in a user-scope run
  EXPECT_TRUE(calls("exe memo").empty());
}

// The MSIX entry is the Appx installer: without Windows' Appx cmdlets its command fails,
// and the failure is told with the MSIX message table.
TEST(PipelineInstallers, MsixAppsGoToTheAppxInstaller) {
  auto [sink, receiver] = make_event_channel();
  const InstallHost host;
  const RunContext run{.settings = {}, .sink = sink, .cancel = {}};
  const PreparedDependencies none;
  const auto msix = host.installers.msix(run, InstallRequest{*app_by_id("abacus"), "a.msix", false, none});
  ASSERT_FALSE(msix);
  EXPECT_EQ(msix.error().message(), msg::kAppInstallationFailed);
  EXPECT_EQ(msix.error().detail().find("not available in this build"), std::string::npos);
}

TEST(PipelineSteps, ServerVersionFromTheStagedName) {
  const struct {
    const char* path;
    const char* format;
    std::optional<std::string> version;
  } cases[] = {
      {"C:\\b\\installer\\installer-v1.9.msi", "msi", "1.9"},
      {"/b/installer/installer-v2.0.1.msixbundle", "msixbundle", "2.0.1"},
      {"installer-v1.9.msix", "msixbundle", std::nullopt},
      {"installer-voffline.msi", "msi", std::nullopt},
      {"installer-v.msi", "msi", std::nullopt},
      {"C:\\installer-v1.0\\other.msi", "msi", std::nullopt},
      {"installer-v.msi.msi", "msi", ".msi"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pipeline::server_version_of(c.path, c.format), c.version) << c.path;
  }
}

}  // namespace
}  // namespace yoxa
