#include "system/command_runner.h"

#include <chrono>

#include "core/places.h"
#include "core/scrambled.h"
#include "core/text.h"
#include "core/log.h"

namespace yoxa {

namespace {

// Redirected, Windows PowerShell writes in the console code page; the runner reads UTF-8.
// -Command joins the words after it, so the last one starts the command text.
constexpr Scrambled kPowerShellArguments(
    "-NoLogo -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command "
    "[Console]::OutputEncoding=[Text.UTF8Encoding]::new($false);");
}  // namespace

platform::ShellCommand powershell_command() {
  platform::ShellCommand command{platform::powershell_program(), {}};
  for (auto& word : split(kPowerShellArguments.reveal(), ' ')) {
    if (!word.empty()) command.leading_arguments.push_back(std::move(word));
  }
  return command;
}

std::string exit_status_text(std::uint32_t code) {
  if (code >= 0x80000000u) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", code);
    return format("exit code: 0x{}", hex);
  }
  return format("exit code: {}", code);
}

Result<std::string> run_powershell(const std::string& script, std::uint32_t limit_seconds) {
  return run_shell_script(powershell_command(), script, limit_seconds);
}

Result<std::string> run_shell_script(const platform::ShellCommand& shell, const std::string& script,
                                     std::uint32_t limit_seconds) {
  std::vector<std::string> arguments = shell.leading_arguments;
  arguments.push_back(script);
  auto child = platform::ChildProcess::start(shell.program, arguments);
  if (!child) return std::unexpected(Error::same(format("Command Error: {}", child.error().text), place::kRunnerStart));

  // Poll n = 1..limit, one second apart: the script gets about limit - 1 seconds.
  // Waiting drains the pipes and wakes as soon as the child ends.
  for (std::uint32_t poll = 1; poll <= limit_seconds; ++poll) {
    auto state = child->wait_for(std::chrono::milliseconds(0));
    if (!state) return std::unexpected(Error::same(format("Shell Error: {}", state.error().text), place::kRunnerPoll));
    if (*state) break;
    if (poll == limit_seconds) {
      if (auto killed = child->terminate(1); !killed) {
        auto ended = child->wait_for(std::chrono::milliseconds(0));
        const bool gone = killed.error().access_denied() && ended && *ended;
        if (!gone) log::info(format("W: Child process hung: {}", killed.error().text));
      }
      if (auto reaped = child->wait(); !reaped) {
        log::info(format("W: Failed to reap hung child: {}", reaped.error().text));
      }
      return std::unexpected(Error::same("Shell Not Responding", place::kRunnerHung));
    }
    if (auto waited = child->wait_for(std::chrono::seconds(1)); !waited) {
      return std::unexpected(Error::same(format("Shell Error: {}", waited.error().text), place::kRunnerPoll));
    } else if (*waited) {
      break;
    }
  }

  auto code = child->wait();
  if (!code) return std::unexpected(Error::same(format("Shell Output Error: {}", code.error().text), place::kRunnerOutput));
  if (auto output = child->finish_output(); !output) {
    return std::unexpected(Error::same(format("Shell Output Error: {}", output.error().text), place::kRunnerOutput));
  }
  const std::string out(trim(utf8_lossy(child->standard_output())));
  const std::string err(trim(utf8_lossy(child->standard_error())));
  if (!err.empty()) log::warn(format("PowerShell stderr: {}", err));
  if (*code != 0) {
    const std::string message = format("Command Failed: {}", exit_status_text(*code));
    return fail(message, err.empty() ? message : err, place::kRunnerExit);
  }
  return out;
}

}  // namespace yoxa
