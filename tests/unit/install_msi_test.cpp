#include "install/install_msi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "core/messages.h"
#include "core/paths.h"
#include "install/pipeline.h"
#include "log_capture.h"

namespace yoxa {
namespace {

using std::chrono::seconds;
using testing::logged_by;

const std::string kLogDir = "C:\\ProgramData\\Yoxa\\logs";
const std::string kPackage = "C:\\ProgramData\\Yoxa\\My Packages\\installer-v2.1.msi";

const std::string kSystemMsiexec = "D:\\WINNT\\system32\\msiexec.exe";

struct MsiexecRun {
  std::string program;
  std::vector<std::string> arguments;
};

// A scripted msiexec: answers the listed exit codes in turn, the last one for good.
class MsiInstall : public ::testing::Test {
 protected:
  MsiInstall() {
    auto [sink, receiver] = make_event_channel();
    sink_.emplace(std::move(sink));
    receiver_.emplace(std::move(receiver));
    clear_reboot_required();
  }

  MsiHost host() {
    MsiHost made;
    made.msiexec = kSystemMsiexec;
    made.run = [this](const std::string& program,
                      const std::vector<std::string>& arguments) -> std::expected<std::uint32_t, platform::OsError> {
      runs_.push_back({program, arguments});
      if (start_error_) return std::unexpected(*start_error_);
      const std::size_t at = std::min(runs_.size(), exit_codes_.size()) - 1;
      return exit_codes_[at];
    };
    made.sleep = [this](std::chrono::milliseconds pause) { pauses_.push_back(std::chrono::duration_cast<seconds>(pause)); };
    return made;
  }

  InstallerOutcome install(bool machine, const std::string& log_dir = kLogDir) {
    InstallerOutcome outcome = InstallerStatus::Succeeded;
    log_ = logged_by([&] { outcome = install_msi(*sink_, "quill", log_dir, kPackage, machine, host()); });
    return outcome;
  }

  std::vector<Json> events() {
    sink_.reset();
    std::vector<Json> seen;
    while (auto text = receiver_->receive()) seen.push_back(Json::parse(*text));
    return seen;
  }

  bool logged(const std::string& line) const { return log_.find(line) != std::string::npos; }

  std::vector<std::uint32_t> exit_codes_{0};
  std::optional<platform::OsError> start_error_;
  std::vector<MsiexecRun> runs_;
  std::vector<seconds> pauses_;
  std::string log_;
  std::optional<EventSink> sink_;
  std::optional<EventReceiver> receiver_;
};

TEST_F(MsiInstall, PassesEachArgumentWholeWithTheScopeProperty) {
  const struct {
    bool machine;
    const char* property;
    const char* scope;
  } cases[] = {{false, "MSIINSTALLPERUSER=1", "false"}, {true, "ALLUSERS=1", "true"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.property);
    runs_.clear();
    ASSERT_TRUE(install(c.machine));
    ASSERT_EQ(runs_.size(), 1u);
    // The system's own msiexec, wherever the system directory is; not an assumed C: drive.
    EXPECT_EQ(runs_[0].program, kSystemMsiexec);
    const std::string log_path = path_to_utf8(path_from_utf8(kLogDir) / "msiexec.log");
    EXPECT_EQ(runs_[0].arguments, (std::vector<std::string>{"/i", kPackage, "/L*V", log_path, "/qn", "/norestart",
                                                            c.property}));
    // A user-scope install must not turn into an all-users one.
    const auto all_users = std::count_if(runs_[0].arguments.begin(), runs_[0].arguments.end(),
                                         [](const std::string& a) { return a.find("ALLUSERS") != std::string::npos; });
    EXPECT_EQ(all_users, c.machine ? 1 : 0);
    EXPECT_TRUE(logged(std::string("Executing msiexec for ") + kPackage + " (scope=" + c.scope + ", " + c.property +
                       ")"))
        << log_;
  }
}

TEST_F(MsiInstall, AnnouncesInstallingAtNinetyPercent) {
  ASSERT_TRUE(install(false));
  const auto seen = events();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0]["type"], "progress");
  EXPECT_EQ(seen[0]["app"], "quill");
  EXPECT_EQ(seen[0]["percent"], 90);
  EXPECT_EQ(seen[0]["detailCode"], "INSTALLING");
  EXPECT_EQ(seen[0]["indeterminate"], false);
}

TEST_F(MsiInstall, ExitCodes) {
  const struct {
    std::uint32_t code;
    std::optional<InstallerStatus> status;  // none: an error with `message`
    const char* message;
    bool reboot;
    std::vector<seconds> pauses;
    const char* log_line;
  } cases[] = {
      {0, InstallerStatus::Succeeded, nullptr, false, {}, "Installation process seems successful."},
      {1641, InstallerStatus::Succeeded, nullptr, true, {},
       "msiexec for C:\\ProgramData\\Yoxa\\My Packages\\installer-v2.1.msi succeeded but requires a reboot (exit 1641)"},
      {3010, InstallerStatus::Succeeded, nullptr, true, {}, "succeeded but requires a reboot (exit 3010)"},
      {1602, InstallerStatus::Cancelled, nullptr, false, {seconds(2)}, "msiexec finished with status: 1602"},
      {1603, std::nullopt, msg::kInstallationFailedRestart, false, {}, "msiexec finished with status: 1603"},
      {1633, std::nullopt, msg::kWrongProcessor, false, {}, "msiexec finished with status: 1633"},
      {1605, std::nullopt, msg::kInstallationFailed, false, {}, "msiexec finished with status: 1605"},
      {0xFFFFFFFFu, std::nullopt, msg::kInstallationFailed, false, {}, "msiexec finished with status: -1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    clear_reboot_required();
    exit_codes_ = {c.code};
    runs_.clear();
    pauses_.clear();
    const auto outcome = install(false);
    EXPECT_EQ(runs_.size(), 1u);
    EXPECT_EQ(pauses_, c.pauses);
    EXPECT_EQ(reboot_required(), c.reboot);
    EXPECT_TRUE(logged(c.log_line)) << log_;
    if (c.status) {
      ASSERT_TRUE(outcome) << outcome.error().full_text();
      EXPECT_EQ(*outcome, *c.status);
      continue;
    }
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message(), c.message);
    EXPECT_EQ(outcome.error().detail(),
              "Installer failed with exit code: " + std::to_string(static_cast<std::int32_t>(c.code)));
    EXPECT_EQ(code_for_error(outcome.error()), ErrorKind::InstallFailed);
  }
}

TEST_F(MsiInstall, BusyInstallerIsAskedThirteenTimesThenReported) {
  exit_codes_ = {1618};
  const auto outcome = install(true);
  EXPECT_EQ(runs_.size(), 13u);
  EXPECT_EQ(pauses_, std::vector<seconds>(12, seconds(5)));
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().message(), msg::kAnotherInstallation);
  EXPECT_EQ(outcome.error().detail(), "Installer failed with exit code: 1618");
  EXPECT_TRUE(logged("msiexec for " + kPackage + " returned 1618 (another install in progress); retry 1/12 in 5s"));
  EXPECT_TRUE(logged("retry 12/12 in 5s")) << log_;
  EXPECT_FALSE(logged("retry 13/12"));
}

TEST_F(MsiInstall, BusyInstallerThatFreesUpIsASuccess) {
  exit_codes_ = {1618, 1618, 3010};
  const auto outcome = install(false);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(*outcome, InstallerStatus::Succeeded);
  EXPECT_EQ(runs_.size(), 3u);
  EXPECT_EQ(pauses_.size(), 2u);
  EXPECT_TRUE(reboot_required());
  // Every attempt is the same command.
  EXPECT_EQ(runs_[0].arguments, runs_[2].arguments);
}

TEST_F(MsiInstall, StartFailureCarriesTheOsError) {
  start_error_ = platform::OsError{2, "The system cannot find the file specified."};
  const auto outcome = install(false);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().message(), msg::kInstallationFailed);
  EXPECT_EQ(outcome.error().detail(), "The system cannot find the file specified.");
  EXPECT_EQ(runs_.size(), 1u) << "a start failure is not retried";
  EXPECT_TRUE(pauses_.empty());
}

TEST_F(MsiInstall, LogDirectoryThatIsNotTextStopsBeforeMsiexec) {
  const auto outcome = install(false, "C:\\logs\\\xFF\xFE");
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().message(), msg::kFilesystemError);
  EXPECT_EQ(outcome.error().detail(), msg::kFilesystemError);
  EXPECT_TRUE(runs_.empty());
  EXPECT_TRUE(events().empty());
}

}  // namespace
}  // namespace yoxa
