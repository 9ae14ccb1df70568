#include "system/log_export.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>

#include "core/messages.h"
#include "core/paths.h"
#include "core/text.h"
#include "front_end/export_logs_command.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

void write_file(const fs::path& path, std::string_view text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A folder in a temporary root, last written `age` ago (older folders sort later).
void make_folder(const fs::path& root, const std::string& name, int age_hours) {
  fs::create_directories(root / name);
  fs::last_write_time(root / name, fs::file_time_type::clock::now() - std::chrono::hours(age_hours));
}

std::string utf8(const fs::path& path) { return path_to_utf8(path); }

// A machine laid out in a temp dir: LOCALAPPDATA, ProgramData, the temp folder and SystemRoot.
struct Machine {
  TempDir dir;
  fs::path local = dir.path() / "local";
  fs::path program_data = dir.path() / "programdata";
  fs::path temp = dir.path() / "temp";
  fs::path windows = dir.path() / "windows";
  std::map<std::string, std::string> environment{
      {"LOCALAPPDATA", utf8(local)}, {"ProgramData", utf8(program_data)}, {"SystemRoot", utf8(windows)}};

  fs::path user_logs() const { return local / "Yoxa" / "YoxaOffice" / "logs"; }
  fs::path machine_logs() const { return program_data / "Yoxa" / "YoxaOffice" / "logs"; }
  fs::path launcher_logs() const { return temp / "YoxaOffice"; }
  fs::path system_temp() const { return windows / "SystemTemp"; }
  fs::path staging() const { return temp / "YoxaOffice-logexport-77"; }

  EnvironmentLookup lookup() const {
    return [env = environment](const std::string& name) -> std::optional<std::string> {
      const auto found = env.find(name);
      return found == env.end() ? std::nullopt : std::optional<std::string>(found->second);
    };
  }
  LogSourceContext context() const { return {lookup(), utf8(temp), utf8(staging())}; }
};

TEST(LogSources, FixedSourcesThenFoldersPerRootAndKindNewestFirst) {
  Machine machine;
  make_folder(machine.temp, "YoxaOfficeSilent-10", 5);
  make_folder(machine.temp, "YoxaOfficeSilent-20", 1);  // the newer one is "silent"
  make_folder(machine.temp, "YoxaOffice-old", 3);
  make_folder(machine.temp, "YoxaOffice-logexport-77", 0);  // this export's own staging folder
  make_folder(machine.temp, "YoxaOfficeSilent", 0);         // no hyphen: not a silent folder
  make_folder(machine.temp, "YoxaOffice", 0);               // the launcher's own folder
  write_file(machine.temp / "YoxaOffice-file", "a file, not a folder");
  make_folder(machine.system_temp(), "YoxaOffice-7", 2);

  const auto sources = log_sources(machine.context());
  const std::vector<std::vector<std::string>> expected{
      {"user", utf8(machine.user_logs()), "per-user install/uninstall worker (default scope)"},
      {"machine", utf8(machine.machine_logs()), "all-users install/uninstall worker (readable only when elevated)"},
      {"launcher", utf8(machine.launcher_logs()), "non-elevated launcher and read-only CLI commands"},
      {"silent", utf8(machine.temp / "YoxaOfficeSilent-20"), "silent / MDM run (YoxaOfficeSilent-20)"},
      {"silent1", utf8(machine.temp / "YoxaOfficeSilent-10"), "silent / MDM run (YoxaOfficeSilent-10)"},
      {"legacy", utf8(machine.temp / "YoxaOffice-old"),
       "per-invocation launcher folder from an older build (YoxaOffice-old)"},
      {"systemlegacy", utf8(machine.system_temp() / "YoxaOffice-7"),
       "per-invocation launcher folder from an older build, LocalSystem (YoxaOffice-7)"},
  };
  std::vector<std::vector<std::string>> got;
  for (const auto& source : sources) got.push_back({source.label, source.directory, source.description});
  EXPECT_EQ(got, expected);
}

TEST(LogSources, TakesTheTenNewestOfAKindAndSkipsASecondRootEqualToTheFirst) {
  Machine machine;
  for (int i = 0; i < 12; ++i) make_folder(machine.temp, "YoxaOfficeSilent-" + std::to_string(i), i + 1);
  machine.environment["SystemRoot"] = utf8(machine.dir.path());
  fs::rename(machine.temp, machine.dir.path() / "SystemTemp");
  machine.temp = machine.dir.path() / "SystemTemp";  // the process runs as LocalSystem

  const auto sources = log_sources(machine.context());
  ASSERT_EQ(sources.size(), 3u + kMaxFoldersPerKind);
  EXPECT_EQ(sources[3].label, "silent");
  EXPECT_EQ(sources[3].directory, utf8(machine.temp / "YoxaOfficeSilent-0"));
  EXPECT_EQ(sources.back().label, "silent9");
  EXPECT_EQ(sources.back().directory, utf8(machine.temp / "YoxaOfficeSilent-9"));
}

// Log export on a laid-out machine with a scripted PowerShell.
class LogExport : public ::testing::Test {
 protected:
  LogExportHost host() {
    LogExportHost made;
    made.environment = machine_.lookup();
    made.temp_directory = [this] { return utf8(machine_.temp); };
    made.process_id = [] { return 77u; };
    made.list_directory = [this](const std::string& directory) -> DirectoryListing {
      if (unreadable_ && directory == utf8(*unreadable_)) return std::unexpected(ListingError{false, "Access is denied."});
      return list_directory_entries(directory);
    };
    made.copy_file = [this](const fs::path& from, const fs::path& to) -> std::expected<std::uint64_t, std::string> {
      if (locked_ && from == *locked_) return std::unexpected("The process cannot access the file");
      return copy_log_file(from, to);
    };
    made.date_time = [] { return "Thu 12/10/2026 15:00:00.00"; };
    made.elevated = [] { return false; };
    made.windows_build = [this]() -> Result<std::uint32_t> {
      if (build_) return *build_;
      return fail("x", "no build", 1);
    };
    made.processor_architecture = [] { return ProcessorArch::X64; };
    made.powershell = [this](const std::string& script, std::uint32_t limit) -> Result<std::string> {
      scripts_.push_back(script);
      EXPECT_EQ(limit, 120u);
      // The script runs while the bundle is complete: keep what it would have zipped.
      bundle_.clear();
      for (const auto& entry : fs::directory_iterator(machine_.staging())) {
        bundle_[path_to_utf8(entry.path().filename())] = read_file(entry.path());
      }
      return powershell_output_;
    };
    made.archive_size = [this](const std::string& path) -> std::expected<std::uint64_t, std::string> {
      if (path != "C:\\Users\\me\\Desktop\\bundle.zip") return std::unexpected(std::string("there is no such file"));
      return archive_size_;
    };
    return made;
  }

  Result<std::string> run_export(const std::optional<std::string>& out) {
    Result<std::string> result = fail("x", "not run", 1);
    log_ = testing::logged_by([&] { result = export_logs(out, host()); });
    return result;
  }

  Machine machine_;
  std::optional<fs::path> unreadable_;
  std::optional<fs::path> locked_;
  std::optional<std::uint32_t> build_ = 19045;
  Result<std::string> powershell_output_ = std::string("\r\nC:\\Users\\me\\Desktop\\bundle.zip\r\n\r\n");
  std::expected<std::uint64_t, std::string> archive_size_ = 2048;
  std::vector<std::string> scripts_;
  std::map<std::string, std::string> bundle_;
  std::string log_;
};

TEST_F(LogExport, CollectsEverySourceWithManifestAndDigest) {
  const std::string user_log =
      "[INFO  00:00.001] start\r\n[WARN  00:00.002] first\r\n[ERROR 00:00.003] broke\r\n"
      "  [WARN not at the start\n[warn lower case\n[WARN  00:00.004] last, no line feed";
  const std::string rotated_log = "[WARN  00:00.000] rotated away\n";
  const std::string msi_log = "[ERROR an MSI log is not digested\n";
  write_file(machine_.user_logs() / "installer.log", user_log);
  write_file(machine_.user_logs() / "installer.log.1", rotated_log);
  write_file(machine_.user_logs() / "msiexec.log", msi_log);
  fs::create_directories(machine_.user_logs() / "sub");  // folders are not descended into
  write_file(machine_.launcher_logs() / "installer.log", std::string("[WARN binary \xff\xfe\n", 16));
  write_file(machine_.launcher_logs() / "held.log", "held by another process");
  locked_ = machine_.launcher_logs() / "held.log";
  make_folder(machine_.temp, "YoxaOfficeSilent-5", 1);
  make_folder(machine_.temp, "YoxaOffice-9", 1);
  unreadable_ = machine_.temp / "YoxaOffice-9";
  // The staging folder of an earlier failed export is cleared, never collected.
  write_file(machine_.staging() / "stale.txt", "left over");

  const auto zip = run_export(std::nullopt);
  ASSERT_TRUE(zip.has_value()) << zip.error().full_text();
  EXPECT_EQ(*zip, "C:\\Users\\me\\Desktop\\bundle.zip");
  EXPECT_FALSE(fs::exists(machine_.staging()));

  const std::string user = utf8(machine_.user_logs());
  const std::string launcher = utf8(machine_.launcher_logs());
  const std::string manifest =
      "Yoxa Office Apps Installer \u2014 log bundle\n"
      "=========================================\n\n"
      "Collected:        Thu 12/10/2026 15:00:00.00\n"
      "Engine version:   0.0.0\n"
      "Config dir name:  YoxaOffice\n"
      "Elevated export:  false\n"
      "Files included:   4\n"
      "Windows build:    19045\n"
      "Architecture:     x64\n"
      "\nSources\n-------\n" +
      format("[included] {} -> user-installer.log ({} bytes)\n", utf8(machine_.user_logs() / "installer.log"),
             user_log.size()) +
      format("[included] {} -> user-installer.log.1 ({} bytes)\n", utf8(machine_.user_logs() / "installer.log.1"),
             rotated_log.size()) +
      format("[included] {} -> user-msiexec.log ({} bytes)\n", utf8(machine_.user_logs() / "msiexec.log"),
             msi_log.size()) +
      format("[skipped] {} (all-users install/uninstall worker (readable only when elevated)) \u2014 directory does "
             "not exist\n",
             utf8(machine_.machine_logs())) +
      format("[skipped] {} \u2014 copy failed: The process cannot access the file\n",
             utf8(machine_.launcher_logs() / "held.log")) +
      format("[included] {} -> launcher-installer.log (16 bytes)\n", utf8(machine_.launcher_logs() / "installer.log")) +
      format("[empty] {} (silent / MDM run (YoxaOfficeSilent-5)) \u2014 no files\n",
             utf8(machine_.temp / "YoxaOfficeSilent-5")) +
      format("[skipped] {} (per-invocation launcher folder from an older build (YoxaOffice-9)) \u2014 could not read: "
             "Access is denied.\n",
             utf8(machine_.temp / "YoxaOffice-9"));
  EXPECT_EQ(bundle_["manifest.txt"], manifest);
  EXPECT_EQ(bundle_["error-summary.txt"],
            "Yoxa Office Apps Installer \u2014 WARN/ERROR digest\n"
            "===============================================\n\n"
            "Every [WARN]/[ERROR] line from the *installer.log files in this bundle, in file order.\n"
            "This is a digest for triage \u2014 the complete logs are alongside it.\n"
            "\n--- user-installer.log (3 line(s)) ---\n"
            "[WARN  00:00.002] first\n[ERROR 00:00.003] broke\n[WARN  00:00.004] last, no line feed\n");
  EXPECT_EQ(bundle_.count("stale.txt"), 0u);
  EXPECT_EQ(bundle_.count("launcher-held.log"), 0u);
  EXPECT_NE(log_.find("Log bundle error summary: 3 WARN/ERROR line(s) across 1 file(s)"), std::string::npos) << log_;
  EXPECT_NE(log_.find("Exported 4 log file(s) to C:\\Users\\me\\Desktop\\bundle.zip"), std::string::npos) << log_;
}

TEST_F(LogExport, NoWarningsAnywhereEndsTheDigestWithTheNoLinesSentence) {
  write_file(machine_.user_logs() / "installer.log", "[INFO  00:00.001] all good\n");
  build_.reset();  // the Windows build line is left out when it cannot be read

  ASSERT_TRUE(run_export(std::nullopt).has_value());
  EXPECT_TRUE(bundle_["error-summary.txt"].ends_with(
      "in this bundle, in file order.\nThis is a digest for triage \u2014 the complete logs are alongside it.\n"
      "\nNo WARN or ERROR lines were logged.\n"));
  EXPECT_EQ(bundle_["manifest.txt"].find("Windows build:"), std::string::npos);
}

TEST_F(LogExport, ArchiveScriptNamesTheDestination) {
  const std::string tail =
      "; if ([string]::IsNullOrWhiteSpace($dest)) { $dest = $env:USERPROFILE } New-Item -ItemType Directory -Force "
      "-Path $dest | Out-Null; $zip = Join-Path $dest ('YoxaOfficeInstaller-logs-' + (Get-Date -Format "
      "'yyyyMMdd-HHmmss') + '.zip'); Microsoft.PowerShell.Archive\\Compress-Archive -Path '" +
      utf8(machine_.staging()) +
      "\\*' -DestinationPath $zip -CompressionLevel Optimal -Force; Write-Output $zip";
  const struct {
    std::optional<std::string> out;
    std::string destination;
  } cases[] = {
      {std::nullopt, "[Environment]::GetFolderPath('Desktop')"},
      {"", "[Environment]::GetFolderPath('Desktop')"},
      {std::string("D:\\bad\xff"), "[Environment]::GetFolderPath('Desktop')"},
      {"D:\\Support's logs", "'D:\\Support''s logs'"},
      {"D:\\x\u2019; Remove-Item C:\\", "'D:\\x\u2019\u2019; Remove-Item C:\\'"},
  };
  for (const auto& c : cases) {
    scripts_.clear();
    ASSERT_TRUE(run_export(c.out).has_value());
    ASSERT_EQ(scripts_.size(), 1u);
    EXPECT_EQ(scripts_[0], "$dest = " + c.destination + tail);
  }
}

TEST_F(LogExport, ArchiveFailuresFailTheExportAndKeepTheStagingFolder) {
  const std::string reported = "C:\\Users\\me\\Desktop\\bundle.zip";
  const struct {
    const char* name;
    Result<std::string> output;
    std::expected<std::uint64_t, std::string> archive;
    std::string message;
    std::string detail;
  } cases[] = {
      {"no path", std::string(" \r\n  \n"), 2048, "Compress-Archive reported no output path", ""},
      {"runner", fail("PowerShell command timed out", "PowerShell command timed out", 4701), 2048,
       "PowerShell command timed out", ""},
      // Compress-Archive's error does not stop the script: the path is printed, exit code 0.
      {"no zip", "\r\n" + reported + "\r\n", std::unexpected(std::string("there is no such file")),
       "Compress-Archive reported no output path",
       "the reported archive " + reported + " was not written: there is no such file"},
      {"other path", std::string("D:\\elsewhere.zip\r\n"), 2048, "Compress-Archive reported no output path",
       "the reported archive D:\\elsewhere.zip was not written: there is no such file"},
      {"empty zip", reported + "\r\n", 0, "Compress-Archive reported no output path",
       "the reported archive " + reported + " was not written: it is empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    powershell_output_ = c.output;
    archive_size_ = c.archive;
    const auto zip = run_export("D:\\out");
    ASSERT_FALSE(zip.has_value());
    EXPECT_EQ(zip.error().message(), c.message);
    EXPECT_TRUE(fs::exists(machine_.staging() / "manifest.txt"));
    EXPECT_TRUE(fs::exists(machine_.staging() / "error-summary.txt"));
    EXPECT_NE(log_.find("Log export failed: " + c.message), std::string::npos) << log_;
    EXPECT_NE(log_.find(c.detail), std::string::npos) << log_;
    EXPECT_EQ(log_.find("Exported "), std::string::npos);
  }
}

TEST_F(LogExport, AStagingFolderThatCannotBeCreatedIsAFilesystemError) {
  write_file(machine_.temp / "YoxaOffice-logexport-77" / "x", "");
  fs::remove_all(machine_.temp);
  write_file(machine_.temp, "a file where the temp folder should be");

  const auto zip = run_export(std::nullopt);
  ASSERT_FALSE(zip.has_value());
  EXPECT_EQ(zip.error().message(), msg::kFilesystemError);
  EXPECT_TRUE(scripts_.empty());
  const Json event = export_logs_result_event(zip);
  EXPECT_EQ(to_wire(event), R"({"errorCode":"INSTALL_FAILED","path":null,"type":"export-logs-result","v":1})");
}

TEST(ExportLogsResult, SuccessCarriesThePath) {
  const Json event = export_logs_result_event(std::string("C:\\x.zip"));
  EXPECT_EQ(to_wire(event), R"({"errorCode":null,"path":"C:\\x.zip","type":"export-logs-result","v":1})");
}

TEST(ErrorDigest, LargeAndOddLogsAreDigestedOrSkippedWithoutHoldingThem) {
  TempDir staging;
  // 8 MiB of info lines around one very long warning, with a CR inside a line and at its end.
  std::string big;
  const std::string info(1023, 'i');
  for (int i = 0; i < 4096; ++i) big += "[INFO  " + info.substr(7) + "\n";
  big += "[WARN  " + std::string(1 << 20, 'w') + "\r\n";
  big += "[ERROR a\rb\r\r\n";
  for (int i = 0; i < 4096; ++i) big += "[INFO  " + info.substr(7) + "\n";
  write_file(staging.path() / "user-installer.log", big);
  // Truncated in the middle of a UTF-8 sequence: not UTF-8, so not digested.
  write_file(staging.path() / "legacy-installer.log", "[WARN  x\n[ERROR \xe2\x82");
  write_file(staging.path() / "silent-installer.log", "[ERROR \xe2\x82\xac sign\n");

  const auto count = write_error_digest(staging.path());
  ASSERT_TRUE(count.has_value());
  EXPECT_EQ(count->lines, 3u);
  EXPECT_EQ(count->files, 2u);
  const std::string digest = read_file(staging.path() / "error-summary.txt");
  EXPECT_EQ(digest.find("legacy-installer.log"), std::string::npos);
  const auto silent = digest.find("\n--- silent-installer.log (1 line(s)) ---\n[ERROR \xe2\x82\xac sign\n");
  const auto user = digest.find("\n--- user-installer.log (2 line(s)) ---\n[WARN  " + std::string(1 << 20, 'w') +
                                "\n[ERROR a\rb\r\n");
  ASSERT_NE(silent, std::string::npos);
  ASSERT_NE(user, std::string::npos);
  EXPECT_LT(silent, user);  // sorted by path
  EXPECT_TRUE(digest.ends_with("\r\n"));
}

// The streaming digest against the plain reading of the rule: split at LF, drop one
// trailing CR, keep lines starting "[WARN" or "[ERROR", skip files that are not UTF-8.
TEST(ErrorDigest, AgreesWithTheWholeFileReadingOnMixedInput) {
  static const std::string kPieces[] = {"[WARN", "[ERROR", "[WAR", "[ERR", "[", "\n", "\r", "\r\n", " x ",
                                        "\xe2\x82\xac", "\xc3", "\xa9", "\xff", std::string(70000, 'y')};
  std::mt19937 random(7);
  for (int round = 0; round < 150; ++round) {
    std::string text;
    const int pieces = static_cast<int>(random() % 40);
    for (int i = 0; i < pieces; ++i) {
      // The long filler is rare, so most files are small but some cross the read buffer.
      std::size_t pick = random() % std::size(kPieces);
      if (pick == std::size(kPieces) - 1 && random() % 8 != 0) pick = 0;
      text += kPieces[pick];
    }
    std::string expected_lines;
    std::uint64_t expected = 0;
    if (is_valid_utf8(text)) {
      for (std::string line : split(text, '\n')) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with("[WARN") || line.starts_with("[ERROR")) {
          expected_lines += line + "\n";
          ++expected;
        }
      }
    }
    TempDir staging;
    write_file(staging.path() / "user-installer.log", text);
    const auto count = write_error_digest(staging.path());
    ASSERT_TRUE(count.has_value());
    ASSERT_EQ(count->lines, expected) << round;
    const std::string digest = read_file(staging.path() / "error-summary.txt");
    if (expected > 0) {
      const std::string section = format("\n--- user-installer.log ({} line(s)) ---\n", expected);
      ASSERT_TRUE(digest.ends_with(section + expected_lines)) << round;
    } else {
      ASSERT_TRUE(digest.ends_with("\nNo WARN or ERROR lines were logged.\n")) << round;
    }
  }
}

}  // namespace
}  // namespace yoxa
