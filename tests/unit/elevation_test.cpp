#include "system/elevation.h"

#include <gtest/gtest.h>

#include "core/base64.h"
#include "front_end/run_request.h"
#include "log_capture.h"

namespace yoxa {
namespace {

using testing::logged_by;

// A launcher that records what it was asked and fails with the given Win32 code.
struct FailingLauncher {
  std::uint32_t code;
  std::vector<std::pair<std::string, std::string>> calls;
  ElevatedLauncher launcher() {
    return [this](const std::string& program,
                  const std::string& parameters) -> std::expected<platform::DetachedProcess, platform::OsError> {
      calls.emplace_back(program, parameters);
      return std::unexpected(platform::OsError{code, "from the test"});
    };
  }
};

TEST(Elevation, DeclinedIsToldApartOnlyByItsHresult) {
  const struct {
    std::uint32_t code;
    bool declined;
    const char* error;
  } cases[] = {
      {1223, true, ""},  // ERROR_CANCELLED
      {0x800704C7u, true, ""},
      {2, false, "Failed to spawn elevated installer: 0x80070002"},
      {1155, false, "Failed to spawn elevated installer: 0x80070483"},
      {0x80004005u, false, "Failed to spawn elevated installer: 0x80004005"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    FailingLauncher launch{c.code, {}};
    const ElevatedStart started = elevate_self("JSONRUN:install|q|quill|p|machine|", "C:\\E\\engine.exe",
                                               launch.launcher());
    EXPECT_FALSE(started.process);
    EXPECT_EQ(started.declined, c.declined);
    EXPECT_EQ(started.error, c.error);
    ASSERT_EQ(launch.calls.size(), 1u);
    EXPECT_EQ(launch.calls[0].first, "C:\\E\\engine.exe");
    EXPECT_EQ(base64_decode_unpadded(launch.calls[0].second), "JSONRUN:install|q|quill|p|machine|");
    EXPECT_EQ(launch.calls[0].second.find('='), std::string::npos);
  }
}

TEST(Elevation, NoUsableOwnPathStartsNothing) {
  using Path = std::expected<std::string, platform::ExecutablePathError>;
  const platform::OsError os{122, "The data area passed to a system call is too small. (os error 122)"};
  const platform::OsError no_translation{1113, "No mapping for the Unicode character exists. (os error 1113)"};
  const struct {
    const char* name;
    Path exe;
    const char* error;
  } cases[] = {
      {"empty", Path(std::string()), "Failed to determine current_exe: "},
      {"not utf-8", Path(std::string("C:\\\xff\\engine.exe")), "Failed to encode current_exe as UTF-8"},
      // The seam's strict conversion refused a lone surrogate: reported, never started mangled.
      {"lone surrogate", Path(std::unexpect, platform::ExecutablePathError{true, no_translation}),
       "Failed to encode current_exe as UTF-8"},
      {"os failure", Path(std::unexpect, platform::ExecutablePathError{false, os}),
       "Failed to determine current_exe: The data area passed to a system call is too small. (os error 122)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FailingLauncher launch{0, {}};
    ElevatedStart started;
    const std::string log = logged_by([&] { started = elevate_self("JSONRUN:x", c.exe, launch.launcher()); });
    EXPECT_FALSE(started.process);
    EXPECT_FALSE(started.declined);
    EXPECT_TRUE(started.error.starts_with(c.error)) << started.error;
    EXPECT_TRUE(launch.calls.empty());
    if (!c.exe && c.exe.error().not_unicode) {
      EXPECT_NE(log.find("(os error 1113)"), std::string::npos);
    }
  }
}

TEST(Elevation, StartedCopyIsWaitedForAndItsCodeTakenWhole) {
  auto started = elevate_self("ignored", YOXA_FAKE_SHELL, [](const std::string& program, const std::string&) {
    return platform::DetachedProcess::start(program, {"exit 5"});
  });
  ASSERT_TRUE(started.process);
  EXPECT_EQ(wait_elevated(*started.process), 5u);
}

TEST(Elevation, WaitFailuresEndInTwoWithTheirLogLines) {
  const auto ok = []() -> std::expected<void, platform::OsError> { return {}; };
  const auto wait_fails = []() -> std::expected<void, platform::OsError> {
    return std::unexpected(platform::OsError{6, "The handle is invalid. (os error 6)"});
  };
  const auto code_fails = []() -> std::expected<std::uint32_t, platform::OsError> {
    return std::unexpected(platform::OsError{5, "Access is denied. (os error 5)"});
  };
  const auto crashed = []() -> std::expected<std::uint32_t, platform::OsError> { return 0xC0000005u; };

  std::uint32_t code = 0;
  std::string log = logged_by([&] { code = wait_elevated(wait_fails, crashed); });
  EXPECT_EQ(code, 2u);
  EXPECT_NE(log.find("] Failed to wait for elevated process"), std::string::npos);

  log = logged_by([&] { code = wait_elevated(ok, code_fails); });
  EXPECT_EQ(code, 2u);
  EXPECT_NE(log.find("] Failed to read elevated exit code: 0x80070005"), std::string::npos);

  // The run process, not the wait, decides what a crash code means.
  EXPECT_EQ(wait_elevated(ok, crashed), 0xC0000005u);
}

TEST(Elevation, DeclinedResultNamesTheActionsCode) {
  RunRequest request;
  for (const auto& [action, code] : {std::pair{RunAction::Install, "UAC_DECLINED"},
                                     std::pair{RunAction::Update, "UAC_DECLINED"},
                                     std::pair{RunAction::Uninstall, "UNINSTALL_AUTH_CANCELLED"}}) {
    request.action = action;
    const AppResult result = declined_result(request, "folio");
    EXPECT_EQ(result.app, "folio");
    EXPECT_EQ(result.status, AppStatus::Failed);
    EXPECT_EQ(result.error_code, std::optional<std::string_view>(code));
  }
}

TEST(Elevation, AdminPromptEvent) {
  EXPECT_EQ(to_wire(admin_prompt_event()),
            R"({"app":null,"id":"uac-1","kind":"admin_escalation","messageCode":"PROMPT_ADMIN_REQUIRED","type":"prompt","v":1})");
}

}  // namespace
}  // namespace yoxa
