#include "install/staging.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "core/messages.h"
#include "fake_directory_trust.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

namespace fs = std::filesystem;
using testing::logged_by;
using testing::TempDir;

// --- version in a file name ---------------------------------------------------------------

TEST(StagingVersion, OnlyPlainVersionsMayNameAFile) {
  const std::pair<std::string, bool> cases[] = {
      {"1.2.3", true},         {"2025.10.1-beta+7", true}, {"1.0 rc1", true},   {"\xC3\xA9t\xC3\xA9", true},
      {"", true},              {"..", false},              {"1..2", false},     {"../../evil", false},
      {"1/2", false},          {"1\\2", false},            {"C:1", false},      {"1.0.", true},
      {"1.0 ", true},         {std::string("1\0", 2), false}, {"1\n2", false}, {"1\x7F", false},
      {"a<b", false},          {"a>b", false},             {"a\"b", false},     {"a|b", false},
      {"a?b", false},          {"a*b", false},             {"\xFF\xFE", false},    {"1\xC2\x85", false},
  };
  for (const auto& [version, safe] : cases) {
    EXPECT_EQ(is_safe_version_for_file_name(version), safe) << "version: " << version;
  }
}

TEST(StagingVersion, RefusalIsAVerificationFailureNamingTheValue) {
  const auto refused = check_version_for_file_name("..\\x\n");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), msg::kVerificationFailed);
  EXPECT_EQ(refused.error().detail(), "Package version '..\\x\\x0a' cannot be used in a file name");
  EXPECT_TRUE(check_version_for_file_name("1.2.3"));
}

// --- staging_paths ------------------------------------------------------------------------

TEST(StagingPaths, CreatesTheDirectoryAndNamesThePackage) {
  const TempDir base;
  const auto paths = staging_paths(base.str(), "1.4.2", "msix");
  ASSERT_TRUE(paths) << paths.error().full_text();
  const fs::path expected = base.path() / "installer" / "installer-v1.4.2.msix";
  EXPECT_EQ(paths->final_path, expected.string());
  EXPECT_EQ(paths->temp_path, expected.string() + ".tmp");
  EXPECT_TRUE(fs::is_directory(base.path() / "installer"));
  // An existing directory is fine.
  EXPECT_TRUE(staging_paths(base.str(), "1.4.2", "msi"));
}

TEST(StagingPaths, RefusesAnUnsafeVersionBeforeTouchingTheDisk) {
  const TempDir base;
  const auto paths = staging_paths(base.str(), "../../1.0", "msi");
  ASSERT_FALSE(paths);
  EXPECT_EQ(paths.error().message(), msg::kVerificationFailed);
  EXPECT_NE(paths.error().detail().find("../../1.0"), std::string::npos);
  EXPECT_FALSE(fs::exists(base.path() / "installer"));
}

TEST(StagingPaths, UncreatableDirectoryIsAFilesystemError) {
  const TempDir base;
  const fs::path not_a_dir = base.path() / "file";
  std::ofstream(not_a_dir) << "x";
  const auto paths = staging_paths(not_a_dir.string(), "1.0", "msi");
  ASSERT_FALSE(paths);
  EXPECT_EQ(paths.error().message(), msg::kFilesystemError);
  EXPECT_FALSE(paths.error().detail().empty());
}

// --- free space and volumes ---------------------------------------------------------------

TEST(FreeSpaceWalk, ClimbsToTheFirstParentThatAnswers) {
  std::vector<std::string> asked;
  const FreeSpaceQuery query = [&](const std::string& path) -> std::expected<std::uint64_t, platform::OsError> {
    asked.push_back(path);
    if (path == "/vol") return 42;
    return std::unexpected(platform::OsError{3, "not found"});
  };
  const auto found = free_space_walking_up("/vol/a/b", query);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->bytes, 42u);
  EXPECT_EQ(found->measured_path, "/vol");
  EXPECT_EQ(asked, (std::vector<std::string>{"/vol/a/b", "/vol/a", "/vol"}));

  asked.clear();
  EXPECT_FALSE(free_space_walking_up("/none/x", [&](const std::string& path) -> std::expected<std::uint64_t, platform::OsError> {
    asked.push_back(path);
    return std::unexpected(platform::OsError{3, "not found"});
  }));
  EXPECT_EQ(asked, (std::vector<std::string>{"/none/x", "/none", "/"}));
}

TEST(FreeSpaceWalk, RealLookupOfAMissingPathUsesItsExistingParent) {
  const TempDir base;
  const auto volume = lookup_volume((base.path() / "missing" / "deeper").string());
  ASSERT_TRUE(volume.free_bytes);
  const auto direct = lookup_volume(base.str());
  EXPECT_EQ(volume.key, direct.key);
  EXPECT_FALSE(volume.key.empty());
}

// --- requirement entries ------------------------------------------------------------------

AppDescriptor app(std::string_view name, InstallerKind kind, std::uint64_t bytes, bool machine_only = false) {
  return AppDescriptor{"id", name, "code", "", "", "", "msi", "proc", bytes, kind, machine_only, false};
}

EnvironmentRead environment(std::map<std::string, std::string> values) {
  return [values](const std::string& name) -> std::optional<std::string> {
    const auto found = values.find(name);
    return found == values.end() ? std::nullopt : std::optional<std::string>(found->second);
  };
}

TEST(DiskRequirements, InstallRootFollowsKindScopeAndEnvironment) {
  const AppDescriptor quill = app("Yoxa Quill", InstallerKind::Msi, 100);
  const AppDescriptor sheets = app("Yoxa Sheets", InstallerKind::Msix, 200);
  const AppDescriptor admin = app("Yoxa Admin", InstallerKind::Exe, 300, true);
  const std::vector<const AppDescriptor*> selected{&quill, &sheets, &admin};
  struct Case {
    bool machine;
    std::map<std::string, std::string> env;
    std::string quill_root;
    std::string system_root;
  };
  const Case cases[] = {
      {false, {{"LOCALAPPDATA", "D:\\Users\\u\\Local"}, {"SystemDrive", "E:"}}, "D:\\Users\\u\\Local", "E:\\"},
      {true, {{"LOCALAPPDATA", "D:\\Users\\u\\Local"}, {"SystemDrive", "E:"}}, "E:\\", "E:\\"},
      {false, {{"LOCALAPPDATA", ""}}, "C:\\", "C:\\"},
      {false, {}, "C:\\", "C:\\"},
  };
  for (const auto& c : cases) {
    const auto entries = disk_requirements("BASE", selected, c.machine, environment(c.env));
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].path, staging_directory("BASE"));
    EXPECT_EQ(entries[0].bytes, 600u);
    EXPECT_EQ(entries[0].label, "package staging");
    EXPECT_EQ(entries[1].path, c.quill_root);
    EXPECT_EQ(entries[1].label, "Yoxa Quill install");
    EXPECT_EQ(entries[2].path, c.system_root);  // MSIX always on the system drive
    EXPECT_EQ(entries[2].bytes, 200u);
    EXPECT_EQ(entries[3].path, c.system_root);  // machine-only app
  }
}

TEST(DiskRequirements, StagingSumSaturates) {
  const AppDescriptor big = app("Big", InstallerKind::Msi, UINT64_MAX - 1);
  const std::vector<const AppDescriptor*> selected{&big, &big};
  EXPECT_EQ(disk_requirements("B", selected, true, environment({}))[0].bytes, UINT64_MAX);
}

// --- the check ------------------------------------------------------------------------------

VolumeLookup volumes(std::map<std::string, VolumeSpace> by_path) {
  return [by_path](const std::string& path) {
    const auto found = by_path.find(path);
    return found == by_path.end() ? VolumeSpace{path, std::nullopt} : found->second;
  };
}

TEST(DiskSpaceCheck, OneVolumeGroupsLabelsAndEqualFreeSpacePasses) {
  const std::vector<DiskRequirement> entries{{"S", 300, "package staging"}, {"L", 300, "Yoxa Quill install"}};
  const auto lookup = volumes({{"S", {"C:\\", 600}}, {"L", {"C:\\", 600}}});
  Result<void> result;
  const std::string log = logged_by([&] { result = check_disk_requirements(entries, lookup); });
  EXPECT_TRUE(result);
  EXPECT_NE(log.find("Disk space check: 'C:\\' (package staging, Yoxa Quill install) has 600 bytes free, 600 bytes "
                     "required"),
            std::string::npos)
      << log;
}

TEST(DiskSpaceCheck, FirstShortVolumeFailsWithMegabytesRoundedDown) {
  const std::vector<DiskRequirement> entries{
      {"S", 3 * 1048576 + 5, "package staging"}, {"L", 1, "Yoxa Quill install"}, {"M", 1, "Yoxa Sheets install"}};
  const auto lookup = volumes({{"S", {"Q:\\", 2 * 1048576 + 1048575}}, {"L", {"D:\\", 0}}, {"M", {"Q:\\", 0}}});
  Result<void> result;
  const std::string log = logged_by([&] { result = check_disk_requirements(entries, lookup); });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), msg::kNotEnoughDiskSpace);
  EXPECT_EQ(code_for_error(result.error()), ErrorKind::DiskSpace);
  EXPECT_EQ(result.error().detail(), "Required: 3 MB, Available: 2 MB on Q:\\ (package staging, Yoxa Sheets install).");
  EXPECT_EQ(log.find("'D:\\'"), std::string::npos) << "the check ends at the first failing group: " << log;
}

TEST(DiskSpaceCheck, UnmeasuredVolumeIsSkippedWithAWarning) {
  const std::vector<DiskRequirement> entries{{"X:\\installer", 10, "package staging"}, {"L", 10, "Yoxa Quill install"}};
  const auto lookup = volumes({{"L", {"C:\\", 5}}});
  Result<void> result;
  const std::string log = logged_by([&] { result = check_disk_requirements(entries, lookup); });
  EXPECT_NE(log.find("Could not query disk space for 'X:\\installer' (package staging), skipping check"),
            std::string::npos)
      << log;
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().detail(), "Required: 0 MB, Available: 0 MB on C:\\ (Yoxa Quill install).");
}

TEST(DiskSpaceCheck, GroupRequirementSaturates) {
  const std::vector<DiskRequirement> entries{{"A", UINT64_MAX, "a"}, {"B", 5, "b"}};
  const auto lookup = volumes({{"A", {"C:\\", UINT64_MAX}}, {"B", {"C:\\", UINT64_MAX}}});
  EXPECT_TRUE(check_disk_requirements(entries, lookup));
}

// --- machine staging directory ----------------------------------------------------------------

TEST(MachineStaging, RestrictsTheDirectoryWithTheExactArguments) {
  const TempDir base;
  std::string program;
  std::vector<std::string> arguments;
  const ToolRunner run = [&](const std::string& p, const std::vector<std::string>& a)
      -> std::expected<ToolOutcome, platform::OsError> {
    program = p;
    arguments = a;
    return ToolOutcome{0, "", ""};
  };
  const std::string nested = (base.path() / "a" / "b").string();
  Result<void> result;
  const std::string log = logged_by([&] { result = prepare_machine_staging_directory(nested, base.str(), platform::system_directory_trust(), run); });
  ASSERT_TRUE(result);
  const std::string directory = staging_directory(nested);
  EXPECT_TRUE(fs::is_directory(directory));
  EXPECT_EQ(program, access_control_tool_path());
  EXPECT_EQ(arguments, (std::vector<std::string>{directory, "/inheritance:r", "/grant:r", "*S-1-5-32-544:(OI)(CI)F",
                                                 "/grant:r", "*S-1-5-18:(OI)(CI)F"}));
  EXPECT_NE(log.find("Restricted ACLs on " + directory), std::string::npos) << log;
}

TEST(MachineStaging, ToolFailuresAreFilesystemErrors) {
  const TempDir base;
  struct Case {
    std::expected<ToolOutcome, platform::OsError> outcome;
    std::string detail;
  };
  const Case cases[] = {
      {std::unexpected(platform::OsError{2, "file not found"}), "Restring ACL failed: file not found"},
      {ToolOutcome{5, "denied\xFF", ""}, "Restricting ACL failed - exit code: 5: denied\xEF\xBF\xBD"},
      {ToolOutcome{0xC0000005u, "", ""}, "Restricting ACL failed - exit code: 0xc0000005: "},
  };
  for (const auto& c : cases) {
    Result<void> result;
    const std::string log = logged_by([&] {
      result = prepare_machine_staging_directory(base.str(), base.str(), platform::system_directory_trust(),
                                                 [&](auto&, auto&) { return c.outcome; });
    });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), msg::kFilesystemError);
    EXPECT_EQ(result.error().detail(), c.detail);
    EXPECT_EQ(log.find("Restricted ACLs"), std::string::npos);
    if (c.outcome) {
      EXPECT_NE(log.find(c.detail), std::string::npos) << log;
    }
  }
}

// A planted staging directory (a link to the attacker's folder, a folder a user owns) is
// moved aside and the tool restricts a fresh one; one that cannot be moved aside fails
// the step before the tool runs.
TEST(MachineStaging, APlantedDirectoryIsReplacedOrTheStepFails) {
  const std::string root = "/pd";
  const std::string base = root + "/Yoxa";
  const std::string directory = staging_directory(base);
  std::vector<std::string> restricted;
  const ToolRunner run = [&](const std::string&, const std::vector<std::string>& a) {
    restricted.push_back(a.front());
    return std::expected<ToolOutcome, platform::OsError>(ToolOutcome{});
  };
  testing::FakeDirectoryTrust trust;
  trust.entries[base] = testing::FakeDirectoryTrust::trusted();
  trust.entries[directory] = testing::FakeDirectoryTrust::link();
  ASSERT_TRUE(prepare_machine_staging_directory(base, root, trust, run));
  ASSERT_EQ(trust.moved.size(), 1u);
  EXPECT_EQ(trust.moved[0].first, directory);
  EXPECT_EQ(trust.created.at(directory), platform::DirectoryReaders::AdminsOnly);
  EXPECT_EQ(restricted, std::vector<std::string>{directory});

  testing::FakeDirectoryTrust stuck;
  stuck.entries[base] = testing::FakeDirectoryTrust::owned_by_user();
  stuck.refuse_move.insert(base);
  restricted.clear();
  const auto result = prepare_machine_staging_directory(base, root, stuck, run);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), msg::kFilesystemError);
  EXPECT_EQ(result.error().detail(), base + " is not trustworthy (owned by S-1-5-21-1-2-3-1001)");
  EXPECT_TRUE(restricted.empty());
  EXPECT_TRUE(stuck.created.empty());
}

// --- stopping a running app -------------------------------------------------------------------

TEST(StopRunningApp, ScriptQuotesTheNameAtAllThreePlaces) {
  const std::string script = stop_app_script("it's");
  EXPECT_EQ(script,
            "$p = Get-Process -Name 'it''s' -ErrorAction SilentlyContinue;          if (-not $p) { 'not-running' }  "
            "        else { $n = @($p).Count; $p | Stop-Process -Force -ErrorAction SilentlyContinue;          for ($i "
            "= 0; $i -lt 20; $i++) { if (-not (Get-Process -Name 'it''s' -ErrorAction SilentlyContinue)) { break } "
            "Start-Sleep -Milliseconds 250 }          if (Get-Process -Name 'it''s' -ErrorAction SilentlyContinue) { "
            "'still-running ' + $n } else { 'stopped ' + $n } }");
}

TEST(StopRunningApp, OutcomeAndLogLineFollowTheScriptOutput) {
  struct Case {
    Result<std::string> output;
    StopOutcome outcome;
    std::string line;
  };
  const Case cases[] = {
      {"not-running", StopOutcome::NotRunning, "'quill' is not running; nothing to terminate"},
      {"  stopped 2\n", StopOutcome::Stopped, "Terminated running instance(s) of 'quill' (stopped 2)"},
      {"still-running 1", StopOutcome::StillRunning,
       "'quill' is STILL RUNNING after Stop-Process (still-running 1); the install or uninstall that follows may "
       "fail with a file-in-use error"},
      {std::unexpected(Error::same("Shell Not Responding", 1)), StopOutcome::Failed,
       "Could not terminate 'quill': Shell Not Responding"},
  };
  for (const auto& c : cases) {
    std::uint32_t limit = 0;
    std::string script;
    StopOutcome outcome{};
    const std::string log = logged_by([&] {
      outcome = stop_running_app("quill", [&](const std::string& s, std::uint32_t l) {
        script = s;
        limit = l;
        return c.output;
      });
    });
    EXPECT_EQ(outcome, c.outcome);
    EXPECT_EQ(limit, 30u);
    EXPECT_EQ(script, stop_app_script("quill"));
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
  }
}

TEST(StopRunningApp, EmptyNameRunsNoScript) {
  bool ran = false;
  EXPECT_EQ(stop_running_app("", [&](const std::string&, std::uint32_t) -> Result<std::string> {
              ran = true;
              return "";
            }),
            StopOutcome::NothingToStop);
  EXPECT_FALSE(ran);
}

// --- clean-up -------------------------------------------------------------------------------

TEST(CleanUp, DeletesOtherPackagesOnly) {
  const TempDir dir;
  const std::string deleted[] = {"installer-v1.0.msi", "old.msix", "a.msixbundle", "b.appx", "setup.exe", "logs.zip"};
  const std::string kept[] = {"installer-v2.0.msi", "installer-v2.0.msi.tmp", "UPPER.MSI", "notes.txt",
                              "old-logs.zip"};
  for (const auto& name : deleted) std::ofstream(dir.path() / name) << "x";
  for (const auto& name : kept) std::ofstream(dir.path() / name) << "x";
  fs::create_directory(dir.path() / "folder.msi");

  const std::string log = logged_by([&] { clean_up_old_installer_files((dir.path() / "installer-v2.0.msi").string()); });
  EXPECT_NE(log.find("Cleaning up old installer files"), std::string::npos);
  for (const auto& name : deleted) EXPECT_FALSE(fs::exists(dir.path() / name)) << name;
  for (const auto& name : kept) EXPECT_TRUE(fs::exists(dir.path() / name)) << name;
  EXPECT_TRUE(fs::is_directory(dir.path() / "folder.msi"));
}

TEST(CleanUp, MissingDirectoryIsLogged) {
  const TempDir dir;
  const std::string log =
      logged_by([&] { clean_up_old_installer_files((dir.path() / "gone" / "installer-v1.msi").string()); });
  EXPECT_NE(log.find("Failed to read app directory: "), std::string::npos) << log;
}

}  // namespace
}  // namespace yoxa
