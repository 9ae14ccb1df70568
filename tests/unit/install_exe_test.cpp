#include "install/install_exe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>

#include "core/messages.h"
#include "core/paths.h"
#include "install/pipeline.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

namespace fs = std::filesystem;
using testing::logged_by;

const std::string kLogDir = "C:\\ProgramData\\Yoxa\\logs";
const std::string kPackage = "C:\\ProgramData\\Yoxa\\installer\\installer-v2.1.exe";

// A scripted installer: records how it was started and what happened around it.
class ExeInstall : public ::testing::Test {
 protected:
  ExeInstall() { clear_reboot_required(); }

  ExeHost host() {
    ExeHost made;
    made.start = [this](const std::string& program, const std::vector<std::string>& arguments)
        -> std::expected<InstallerWaiter, platform::OsError> {
      program_ = program;
      arguments_ = arguments;
      steps_.push_back("start");
      if (start_error_) return std::unexpected(*start_error_);
      return InstallerWaiter([this]() -> std::expected<std::uint32_t, platform::OsError> {
        // The progress event must already be queued when the wait begins. Should it come
        // later, the reader still ends when it arrives or when install() closes the channel.
        pending_ = std::async(std::launch::async, [this] { return receiver_->receive(); });
        const bool queued = pending_.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        steps_.push_back(queued ? "wait after progress" : "wait before progress");
        if (wait_error_) return std::unexpected(*wait_error_);
        return exit_code_;
      });
    };
    return made;
  }

  InstallerOutcome install(bool machine, const std::string& log_dir = kLogDir) {
    auto [sink, receiver] = make_event_channel();
    sink_.emplace(std::move(sink));
    receiver_.emplace(std::move(receiver));
    events_.clear();
    InstallerOutcome outcome = InstallerStatus::Succeeded;
    log_ = logged_by([&] { outcome = install_exe(*sink_, "notes", log_dir, kPackage, machine, host()); });
    sink_.reset();
    if (pending_.valid()) {
      if (auto text = pending_.get()) events_.push_back(Json::parse(*text));
    }
    while (auto text = receiver_->receive()) events_.push_back(Json::parse(*text));
    return outcome;
  }

  // The logged line that contains `text`, or "" when none does.
  std::string line_with(const std::string& text) const {
    const auto at = log_.find(text);
    if (at == std::string::npos) return "";
    const auto start = log_.rfind('\n', at);
    return log_.substr(start == std::string::npos ? 0 : start + 1, log_.find('\n', at) - (start + 1));
  }

  std::optional<EventSink> sink_;
  std::optional<EventReceiver> receiver_;
  std::future<std::optional<std::string>> pending_;
  std::vector<Json> events_;
  std::string program_;
  std::vector<std::string> arguments_;
  std::vector<std::string> steps_;
  std::optional<platform::OsError> start_error_;
  std::optional<platform::OsError> wait_error_;
  std::uint32_t exit_code_ = 0;
  std::string log_;
};

TEST_F(ExeInstall, StartsThePackageSilentlyInTheRunScopeAndReportsProgressWhileItRuns) {
  const std::string log_path = path_to_utf8(path_from_utf8(kLogDir) / "exe_installer.log");
  for (const bool machine : {false, true}) {
    steps_.clear();
    ASSERT_EQ(install(machine), InstallerStatus::Succeeded);
    EXPECT_EQ(program_, kPackage);
    EXPECT_EQ(arguments_, (std::vector<std::string>{machine ? "/allusers" : "/currentuser", "/S", "/NORESTART",
                                                    "/LOG=" + log_path}));
    EXPECT_EQ(steps_, (std::vector<std::string>{"start", "wait after progress"}));
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(to_wire(events_[0]), to_wire(progress_event("notes", 90, false, "INSTALLING", std::nullopt)));
    EXPECT_NE(log_.find(format("Executing EXE installer: {} (scope={}, {})", kPackage, machine,
                               machine ? "/allusers" : "/currentuser")),
              std::string::npos)
        << log_;
    EXPECT_NE(log_.find("EXE installation completed successfully."), std::string::npos) << log_;
  }
}

TEST_F(ExeInstall, ExitCodesMapToOutcomes) {
  const struct {
    std::uint32_t code;
    std::optional<InstallerStatus> status;  // none: an error with `message`
    const char* message;
    bool reboot;
  } cases[] = {
      {0, InstallerStatus::Succeeded, "", false},
      {2, InstallerStatus::Cancelled, "", false},
      {1641, InstallerStatus::Succeeded, "", true},
      {3010, InstallerStatus::Succeeded, "", true},
      {5, std::nullopt, msg::kAccessDeniedRunAsAdministrator, false},
      {1, std::nullopt, msg::kInstallationFailed, false},
      {1603, std::nullopt, msg::kInstallationFailed, false},
      {0xC0000005, std::nullopt, msg::kInstallationFailed, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    clear_reboot_required();
    exit_code_ = c.code;
    const auto outcome = install(false);
    EXPECT_EQ(reboot_required(), c.reboot);
    const auto code = static_cast<std::int32_t>(c.code);
    EXPECT_NE(log_.find(format("EXE installer finished with exit code: {}", code)), std::string::npos) << log_;
    if (c.reboot) {
      EXPECT_TRUE(line_with(format("EXE installer {} succeeded but requires a reboot (exit {})", kPackage, code))
                      .starts_with("[WARN "))
          << log_;
    }
    if (c.status) {
      ASSERT_TRUE(outcome.has_value()) << outcome.error().full_text();
      EXPECT_EQ(*outcome, *c.status);
      continue;
    }
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().message(), c.message);
    EXPECT_EQ(outcome.error().detail(), format("EXE installer failed with exit code: {}", code));
    EXPECT_EQ(code_for_error(outcome.error()), ErrorKind::InstallFailed);
    EXPECT_TRUE(line_with("] " + outcome.error().detail()).starts_with("[ERROR ")) << log_;
  }
}

TEST_F(ExeInstall, StartWaitAndLogPathFailuresFailTheApp) {
  start_error_ = platform::OsError{193, "not a valid application"};
  auto outcome = install(false);
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error().message(), msg::kInstallationFailed);
  EXPECT_EQ(outcome.error().detail(), "not a valid application");
  EXPECT_TRUE(events_.empty());  // nothing ran, so no progress

  start_error_.reset();
  wait_error_ = platform::OsError{6, "The handle is invalid."};
  outcome = install(false);
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error().message(), msg::kInstallationFailed);
  EXPECT_EQ(outcome.error().detail(), "The handle is invalid.");

  steps_.clear();
  outcome = install(false, std::string("C:\\logs\xff"));
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error().message(), msg::kFilesystemError);
  EXPECT_TRUE(steps_.empty());
}

// The real visible start and wait, with the test installer standing in for a package.
TEST(ExeInstallProcess, TheInstallerGetsEachArgumentWholeAndItsExitCodeIsMapped) {
  const testing::TempDir dir;
  const fs::path logs = dir.path() / "log dir with spaces";
  const fs::path record = dir.path() / "arguments.txt";
  ::setenv("YOXA_TEST_INSTALLER_RECORD", record.c_str(), 1);
  ::setenv("YOXA_TEST_INSTALLER_EXIT", "5", 1);  // a POSIX exit status keeps only 8 bits
  auto [sink, receiver] = make_event_channel();
  const auto outcome = install_exe(sink, "notes", logs.string(), YOXA_TEST_INSTALLER, true);
  ::unsetenv("YOXA_TEST_INSTALLER_RECORD");
  ::unsetenv("YOXA_TEST_INSTALLER_EXIT");
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error().message(), msg::kAccessDeniedRunAsAdministrator);
  std::ifstream in(record);
  const std::string recorded((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(recorded, "/allusers\n/S\n/NORESTART\n/LOG=" + (logs / "exe_installer.log").string() + "\n");

  const auto missing = install_exe(sink, "notes", logs.string(), (dir.path() / "no-such-installer").string(), false);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().message(), msg::kInstallationFailed);
}

}  // namespace
}  // namespace yoxa
