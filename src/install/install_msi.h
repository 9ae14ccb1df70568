#pragma once
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/event_sink.h"
#include "core/pause.h"
#include "install/installer.h"
#include "platform/process.h"
#include "platform/system.h"

namespace yoxa {

// Windows Installer's "another installation is in progress" answer and how long we keep asking.
inline constexpr std::uint32_t kMsiBusyExitCode = 1618;
inline constexpr std::uint32_t kMsiBusyRetries = 12;
inline constexpr std::chrono::seconds kMsiBusyPause{5};
inline constexpr std::chrono::seconds kMsiCancelPause{2};

// Starts a program hidden with each argument passed as one argument and waits for it
// to end, without a time limit. The exit code, or the OS error of starting or waiting.
using ProgramRunner = std::function<std::expected<std::uint32_t, platform::OsError>(
    const std::string& program, const std::vector<std::string>& arguments)>;
std::expected<std::uint32_t, platform::OsError> run_and_wait(const std::string& program,
                                                             const std::vector<std::string>& arguments);

struct MsiHost {
  std::string msiexec = platform::system_directory_program("msiexec.exe");  // wherever Windows lives
  ProgramRunner run = run_and_wait;
  Pause sleep = real_pause;
};

// Installs one verified package with msiexec, silently, per user or for all users.
// Blocks until msiexec has ended; sets the reboot-required flag when it asks for a restart.
InstallerOutcome install_msi(const EventSink& sink, std::string_view app_id, const std::string& log_dir,
                             const std::string& package_path, bool machine, const MsiHost& host);
InstallerOutcome install_msi(const EventSink& sink, std::string_view app_id, const std::string& log_dir,
                             const std::string& package_path, bool machine);
// The same as the run's MSI installer.
InstallerOutcome install_msi(const RunContext& run, const InstallRequest& request);

}  // namespace yoxa
