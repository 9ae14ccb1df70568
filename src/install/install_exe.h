#pragma once
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_sink.h"
#include "install/install_msi.h"
#include "platform/process.h"

namespace yoxa {

// Waits for a started installer to end; its exit code or the OS error of waiting.
using InstallerWaiter = std::function<std::expected<std::uint32_t, platform::OsError>()>;
// Starts an installer with its windows visible; the way to wait for it, or the OS error of starting.
using VisibleStarter = std::function<std::expected<InstallerWaiter, platform::OsError>(
    const std::string& program, const std::vector<std::string>& arguments)>;
std::expected<InstallerWaiter, platform::OsError> start_visible(const std::string& program,
                                                                const std::vector<std::string>& arguments);

struct ExeHost {
  VisibleStarter start = start_visible;
};

// Runs an executable installer silently, per user or for all users, and maps its exit code.
// Blocks until the installer has ended; sets the reboot-required flag when it asks for a restart.
InstallerOutcome install_exe(const EventSink& sink, std::string_view app_id, const std::string& log_dir,
                             const std::string& package_path, bool machine, const ExeHost& host);
InstallerOutcome install_exe(const EventSink& sink, std::string_view app_id, const std::string& log_dir,
                             const std::string& package_path, bool machine);

}  // namespace yoxa
