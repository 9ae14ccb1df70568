#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>

#include "system/command_runner.h"

namespace yoxa {
namespace {

const platform::ShellCommand kFakeShell{YOXA_FAKE_SHELL, {"-NoProfile", "-Command"}};

TEST(CommandRunner, OutcomesOfFinishedScripts) {
  const struct {
    const char* script;
    std::optional<std::string> output;
    const char* message;
    const char* detail;
  } cases[] = {
      {"out ABC", "ABC", "", ""},
      {"out   padded  ; err a warning", "padded", "", ""},
      {"exit 1", std::nullopt, "Command Failed: exit code: 1", "Command Failed: exit code: 1"},
      {"err  boom \n; exit 2", std::nullopt, "Command Failed: exit code: 2", "boom"},
  };
  for (const auto& c : cases) {
    const auto result = run_shell_script(kFakeShell, c.script, 30);
    if (c.output) {
      ASSERT_TRUE(result) << c.script << ": " << result.error().full_text();
      EXPECT_EQ(*result, *c.output);
    } else {
      ASSERT_FALSE(result) << c.script;
      EXPECT_EQ(result.error().message(), c.message);
      EXPECT_EQ(result.error().detail(), c.detail);
    }
  }
}

TEST(CommandRunner, ExitStatusText) {
  EXPECT_EQ(exit_status_text(0), "exit code: 0");
  EXPECT_EQ(exit_status_text(1603), "exit code: 1603");
  EXPECT_EQ(exit_status_text(0x7FFFFFFF), "exit code: 2147483647");
  EXPECT_EQ(exit_status_text(0x80073CF3), "exit code: 0x80073cf3");
}

TEST(CommandRunner, MissingShellCannotStart) {
  const auto result = run_shell_script({"/nonexistent/shell", {}}, "out x", 5);
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().message().starts_with("Command Error: ")) << result.error().message();
  EXPECT_EQ(result.error().message(), result.error().detail());
}

TEST(CommandRunner, HungScriptIsTerminatedAtItsLimit) {
  const auto start = std::chrono::steady_clock::now();
  const auto result = run_shell_script(kFakeShell, "sleep 30", 3);
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), "Shell Not Responding");
  EXPECT_EQ(result.error().detail(), "Shell Not Responding");
  EXPECT_GE(took, std::chrono::milliseconds(1900));
  EXPECT_LT(took, std::chrono::seconds(10));
}

// The engine's own standard input is the launcher's pipe, held open while a run lasts:
// a child that reads its standard input must see the end at once, not that pipe.
TEST(CommandRunner, ChildReadsTheNullDeviceNotOurStandardInput) {
  int launcher[2];
  ASSERT_EQ(::pipe(launcher), 0);
  const int saved = ::dup(0);
  ASSERT_GE(saved, 0);
  ASSERT_EQ(::dup2(launcher[0], 0), 0);
  const auto result = run_shell_script(kFakeShell, "stdin; out done", 3);
  ::dup2(saved, 0);
  for (const int fd : {saved, launcher[0], launcher[1]}) ::close(fd);
  ASSERT_TRUE(result) << result.error().full_text();
  EXPECT_EQ(*result, "stdin 0\ndone");
}

TEST(CommandRunner, LargeOutputDoesNotStallUntilTheLimit) {
  const auto start = std::chrono::steady_clock::now();
  const auto result = run_shell_script(kFakeShell, "flood 3000000; out done", 20);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->size(), 3000000u + 4u + 1u - 1u);  // trailing line feed trimmed
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(CommandRunner, QuickScriptDoesNotWaitForTheNextPoll) {
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(run_shell_script(kFakeShell, "out fast", 30));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

TEST(CommandRunner, PowerShellCommandLineIsRestoredFromScrambledConstants) {
  const auto command = powershell_command();
  EXPECT_FALSE(command.program.empty());
  ASSERT_GE(command.leading_arguments.size(), 2u);
  // The script's output comes back as UTF-8 whatever the console code page.
  EXPECT_EQ(command.leading_arguments.end()[-2], "-Command");
  EXPECT_EQ(command.leading_arguments.back(), "[Console]::OutputEncoding=[Text.UTF8Encoding]::new($false);");
}

}  // namespace
}  // namespace yoxa
