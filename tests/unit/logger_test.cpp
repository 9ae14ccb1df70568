#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "system/log_locations.h"
#include "system/logger.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(LogLine, LevelPaddingAndElapsedTime) {
  const struct {
    LogLevel level;
    long long millis;
    const char* line;
  } cases[] = {
      {LogLevel::Info, 1250, "[INFO  00:01.250] m"},
      {LogLevel::Warn, 0, "[WARN  00:00.000] m"},
      {LogLevel::Error, 61 * 60000 + 2500, "[ERROR 01:02.500] m"},
      {LogLevel::Info, 59 * 60000 + 59999, "[INFO  59:59.999] m"},
      {LogLevel::Info, 60 * 60000, "[INFO  00:00.000] m"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_log_line(c.level, milliseconds(c.millis), "m"), c.line);
  EXPECT_EQ(format_log_line(LogLevel::Info, milliseconds(5), "two\nlines"), "[INFO  00:00.005] two\nlines");
}

// The two header lines every session opens with.
constexpr const char* kHeaderPattern =
    R"(\[INFO  \d\d:\d\d\.\d{3}\] --- New Application Session Started ---\n)"
    R"(\[INFO  \d\d:\d\d\.\d{3}\] System Date/Time: \S.*\n)";

TEST(Logger, WritesHeaderThenLinesAndRefusesASecondSetUp) {
  testing::TempDir dir;
  const fs::path logs = dir.path() / "a" / "b";
  Logger logger;
  logger.write(LogLevel::Error, "before set-up: discarded");
  ASSERT_TRUE(logger.init(logs.string()));
  logger.write(LogLevel::Warn, "careful");
  logger.write(LogLevel::Debug, "discarded");
  const auto second = logger.init(logs.string());
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error(), "SetLoggerError");
  logger.write(LogLevel::Info, "still here");
  logger.finish();

  const std::string text = read_file(logs / "installer.log");
  const std::regex expected(
      std::string(kHeaderPattern) +
      R"(\[WARN  \d\d:\d\d\.\d{3}\] careful\n)"
      R"(\[INFO  \d\d:\d\d\.\d{3}\] still here\n)");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST(Logger, HeldLinesCreateNoFileAndFollowTheHeaderOnceItIsOpen) {
  testing::TempDir dir;
  Logger logger;
  logger.hold();
  logger.write(LogLevel::Info, "decided before the file");
  logger.write(LogLevel::Debug, "discarded");
  EXPECT_FALSE(fs::exists(dir.path() / "installer.log"));
  ASSERT_TRUE(logger.init(dir.str()));
  logger.write(LogLevel::Warn, "after");
  logger.finish();

  const std::string text = read_file(dir.path() / "installer.log");
  const std::regex expected(
      std::string(kHeaderPattern) +
      R"(\[INFO  \d\d:\d\d\.\d{3}\] decided before the file\n)"
      R"(\[WARN  \d\d:\d\d\.\d{3}\] after\n)");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST(Logger, RotatesAtFiveMebibytes) {
  for (const std::uint64_t size : {kLogRotationBytes - 1, kLogRotationBytes}) {
    testing::TempDir dir;
    const bool rotates = size >= kLogRotationBytes;
    { std::ofstream(dir.path() / "installer.log", std::ios::binary) << std::string(size, 'x'); }
    { std::ofstream(dir.path() / "installer.log.1", std::ios::binary) << "older generation"; }
    Logger logger;
    ASSERT_TRUE(logger.init(dir.str()));
    const auto current = fs::file_size(dir.path() / "installer.log");
    const std::string previous = read_file(dir.path() / "installer.log.1");
    if (rotates) {
      EXPECT_LT(current, 1000u);
      EXPECT_EQ(previous.size(), size);
      EXPECT_TRUE(read_file(dir.path() / "installer.log").starts_with("[INFO  "));
    } else {
      EXPECT_GT(current, size);
      EXPECT_EQ(previous, "older generation");
    }
  }
}

// A link planted as the log or its previous generation is never followed: the target
// keeps its content, nothing is deleted through it, and the rotation is given up.
TEST(Logger, RotationNeverFollowsALink) {
  struct Case {
    const char* link_name;
    bool file_expected;
  };
  for (const Case& c : {Case{"installer.log", false}, Case{"installer.log.1", true}}) {
    SCOPED_TRACE(c.link_name);
    testing::TempDir dir;
    testing::TempDir elsewhere;
    const fs::path target = elsewhere.path() / "victim";
    { std::ofstream(target, std::ios::binary) << "precious"; }
    if (std::string(c.link_name) == "installer.log.1") {
      std::ofstream(dir.path() / "installer.log", std::ios::binary) << std::string(kLogRotationBytes, 'x');
    }
    fs::create_symlink(target, dir.path() / c.link_name);
    Logger logger;
    ASSERT_TRUE(logger.init(dir.str()));
    logger.write(LogLevel::Info, "a line");
    logger.finish();
    EXPECT_EQ(read_file(target), "precious");
    EXPECT_TRUE(fs::is_symlink(dir.path() / c.link_name));
    if (c.file_expected) {
      const std::string text = read_file(dir.path() / "installer.log");
      EXPECT_NE(text.find("Could not rotate installer.log: installer.log.1 is a link; continuing to append"),
                std::string::npos);
      EXPECT_GT(text.size(), kLogRotationBytes);
    }
  }
}

TEST(Logger, FailsWhenTheDirectoryCannotBeCreated) {
  testing::TempDir dir;
  { std::ofstream(dir.path() / "file") << "x"; }
  Logger logger;
  EXPECT_FALSE(logger.init((dir.path() / "file" / "logs").string()));
  EXPECT_FALSE(logger.installed());
}

// Something that is not a directory where the directory should be is left alone: the
// logger is installed without a file, as for any file that cannot be opened.
TEST(Logger, AFileInPlaceOfTheDirectoryLeavesTheLoggerWithoutAFile) {
  testing::TempDir dir;
  const auto in_place = dir.path() / "logs";
  { std::ofstream(in_place) << "x"; }
  Logger logger;
  EXPECT_TRUE(logger.init(in_place.string()));
  EXPECT_TRUE(logger.installed());
  logger.write(LogLevel::Info, "goes nowhere");
  std::ifstream file(in_place);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "x");
}

TEST(LogLocations, ConfigBaseDirRoots) {
  const struct {
    bool machine;
    std::optional<std::string> local_app_data;
    std::optional<std::string> program_data;
    const char* root;
  } cases[] = {
      {false, "/l", "/p", "/l"},
      {false, "", "/p", "/p"},
      {false, std::nullopt, std::nullopt, "C:\\ProgramData"},
      {true, "/l", "/p", "/p"},
      {true, "/l", std::nullopt, "C:\\ProgramData"},
  };
  for (const auto& c : cases) {
    const auto environment = [&](const std::string& name) {
      return name == "LOCALAPPDATA" ? c.local_app_data : name == "ProgramData" ? c.program_data : std::nullopt;
    };
    EXPECT_EQ(config_base_dir(c.machine, environment), (fs::path(c.root) / "Yoxa" / "YoxaOffice").string());
  }
}

TEST(LogLocations, MsiPlaceholdersKeepExistingContent) {
  testing::TempDir dir;
  { std::ofstream(dir.path() / "msiexec.log") << "earlier install"; }
  create_msi_log_placeholders(dir.str());
  EXPECT_EQ(read_file(dir.path() / "msiexec.log"), "earlier install");
  EXPECT_TRUE(fs::exists(dir.path() / "custom-actions.log"));
  EXPECT_EQ(fs::file_size(dir.path() / "custom-actions1.log"), 0u);
}

TEST(LogLocations, SweepRemovesOnlyStalePrefixedEntries) {
  testing::TempDir dir;
  const auto now = std::chrono::system_clock::now();
  const auto file_now = fs::file_time_type::clock::now();
  const auto day = std::chrono::hours(24);
  const struct {
    const char* name;
    fs::file_time_type::duration age;
    bool kept;
  } cases[] = {
      {"YoxaOfficeSilent-1234", 8 * day, false},
      {"YoxaOffice-old", 8 * day, false},
      {"YoxaOfficeSilent-99", 6 * day, true},
      {"YoxaOfficeSilent99", 8 * day, true},
      {"YoxaOffice", 8 * day, true},
      {"Other-1", 30 * day, true},
      {"YoxaOffice-future", -2 * day, true},
  };
  for (const auto& c : cases) {
    fs::create_directories(dir.path() / c.name / "inner");
    fs::last_write_time(dir.path() / c.name, file_now - c.age);
  }
  sweep_stale_temp_folders(dir.str(), now);
  for (const auto& c : cases) EXPECT_EQ(fs::exists(dir.path() / c.name), c.kept) << c.name;
}

}  // namespace
}  // namespace yoxa
