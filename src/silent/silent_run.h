#pragma once
// The headless run for administrators and device-management tools: no events reach
// anyone, the outcome is the exit code and the run record, progress is in installer.log.
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/package_provider.h"
#include "config/expiry.h"
#include "core/install_scope.h"
#include "core/protocol_event.h"
#include "install/pipeline.h"
#include "platform/registry.h"
#include "silent/run_record.h"
#include "silent/silent_options.h"
#include "system/elevation.h"

namespace yoxa {

// Made only when an install runs in this process, once its log is open.
using ProviderSource = std::function<std::unique_ptr<PackageProvider>()>;

// What a silent run asks of the machine. Production defaults; tests replace any member.
struct SilentHost {
  std::function<bool()> is_elevated;
  std::function<bool()> is_local_system;
  std::function<InstallScope()> configured_scope;
  std::function<ElevatedStart(const std::string& payload)> elevate;
  std::function<int(platform::DetachedProcess& copy)> wait_elevated;
  // The LocalSystem relaunch in the user's session: none when it was not attempted.
  std::function<std::optional<int>(const SilentOptions& options)> relaunch;
  std::function<Result<InstallOutcome>(const ProviderSource& provider, const RunContext& run)> install;
  std::function<std::vector<AppResult>(const RunContext& run)> uninstall;
  std::function<bool()> reboot_required;
  std::function<std::optional<Retirement>()> check_expiry;
  // config_base_dir of a scope, created when missing (the machine one made trustworthy);
  // the error says why it could not be.
  std::function<std::expected<std::string, std::string>(bool machine)> base_dir;
  // Makes `directory` below `root` trustworthy for a LocalSystem log folder.
  std::function<std::expected<void, std::string>(const std::string& root, const std::string& directory)>
      trusted_log_dir;
  std::function<std::string()> temp_dir;
  std::function<std::uint32_t()> process_id;
  platform::Registry* registry = nullptr;

  static SilentHost system();
};

// Where a silent run logs: the given directory, else <temp>\YoxaOfficeSilent-<pid>.
std::string silent_log_dir(const SilentOptions& options, const SilentHost& host);
// Where this process logs: silent_log_dir, except that a LocalSystem process always
// keeps its own folder below its protected temporary directory (a --log folder may be
// one the logged-on user made, and that user's copy writes there).
std::string own_silent_log_dir(const SilentOptions& options, const SilentHost& host);

// Machine scope for the requested (or configured) scope; a user-scope run under
// LocalSystem is promoted, with a warning.
bool resolve_silent_scope(std::optional<InstallScope> requested, const SilentHost& host);

// The flag door's run: relaunches, elevates or works in-process. Returns the exit code.
int run_silent(const ProviderSource& provider, const SilentOptions& options, const SilentHost& host);
int run_silent(const ProviderSource& provider, const SilentOptions& options);

// The work itself, for the flag door or a "SILENT:" / "UNINSTALL:" payload.
int silent_install(const ProviderSource& provider, const SilentOptions& options, const SilentHost& host);
int silent_install(const ProviderSource& provider, const SilentOptions& options);
int silent_uninstall(const SilentOptions& options, const SilentHost& host);
int silent_uninstall(const SilentOptions& options);

}  // namespace yoxa
