#include "silent/silent_run.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "config/installer_config.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/result_tally.h"
#include "core/text.h"
#include "platform/os_error.h"
#include "platform/security.h"
#include "platform/system.h"
#include "system/own_file.h"
#include "silent/event_drain.h"
#include "silent/run_record.h"
#include "silent/session_relaunch.h"
#include "silent/silent_payload.h"
#include "system/log_locations.h"
#include "system/logger.h"
#include "system/trusted_directory.h"
#include "uninstall/run_uninstall.h"

namespace yoxa {

namespace {
constexpr int kExitFailed = 2;
constexpr int kExitPermissionDenied = 4;

const char* scope_word(bool machine) { return machine ? "Machine" : "User"; }

std::string id_list(const std::vector<std::string>& ids) {
  std::string out = "[";
  for (std::size_t i = 0; i < ids.size(); ++i) out += format("{}\"{}\"", i == 0 ? "" : ", ", ids[i]);
  return out + "]";
}

InstallScope effective_scope(std::optional<InstallScope> requested, const SilentHost& host) {
  return requested ? *requested : host.configured_scope();
}

// The dispatching process opens the run's log first (its own decisions land there, and
// with --verbose on standard error); the work in the same process then keeps that log.
// LocalSystem's folder is made trustworthy first: any user may plant one in a shared
// temporary directory.
std::expected<void, std::string> open_silent_log(const std::string& directory, const SilentHost& host) {
  if (host.is_local_system()) {
    if (auto trusted = host.trusted_log_dir(host.temp_dir(), directory); !trusted) return std::unexpected(trusted.error());
  }
  if (Logger::process().installed()) return {};
  return init_logger(directory);
}

std::expected<void, std::string> create_quit_file(const std::string& path) {
  if (const std::error_code error = write_own_file(path, {})) return std::unexpected(platform::error_code_text(error));
  return {};
}

void log_summary_counts(std::string_view pattern, const std::vector<AppResult>& results) {
  const ResultTally tally = tally_results(results);
  log::info(format(pattern, tally.succeeded, tally.failed, results.size()));
}

// The install's outcome as an exit code, with its results.
int install_exit_code(Result<InstallOutcome>& outcome, std::vector<AppResult>& results) {
  if (!outcome) {
    log::error(format("Silent install failed: {}", outcome.error().full_text()));
    return exit_code_for_error(outcome.error());
  }
  results = std::move(outcome->results);
  log_summary_counts("Silent install: {} succeeded, {} failed (of {})", results);
  return worker_exit_code(results, outcome->aborted);
}
}  // namespace

SilentHost SilentHost::system() {
  return SilentHost{
      .is_elevated = [] { return platform::is_elevated(); },
      .is_local_system = [] { return platform::is_local_system(); },
      .configured_scope = [] { return load_installer_config().install_scope; },
      .elevate = [](const std::string& payload) { return elevate_self(payload); },
      .wait_elevated = [](platform::DetachedProcess& copy) { return static_cast<int>(yoxa::wait_elevated(copy)); },
      .relaunch = [](const SilentOptions& options) { return relaunch_as_session_user(options); },
      .install = [](const ProviderSource& provider,
                    const RunContext& run) -> Result<InstallOutcome> { return run_install(*provider(), run); },
      .uninstall = [](const RunContext& run) { return run_uninstall(run, {}); },
      .reboot_required = [] { return yoxa::reboot_required(); },
      .check_expiry = [] { return yoxa::check_expiry(); },
      .base_dir = [](bool machine) { return ensure_config_base_dir(machine); },
      .trusted_log_dir = [](const std::string& root,
                            const std::string& directory) -> std::expected<void, std::string> {
        // A system without GetTempPath2W may not have SystemTemp yet; its parent is the
        // Windows directory, so a missing one is made protected like any level below.
        platform::DirectoryTrust& trust = platform::system_directory_trust();
        if (auto facts = trust.inspect(root); facts && !facts->exists) {
          (void)trust.create_protected(root, platform::DirectoryReaders::AdminsOnly);
        }
        return ensure_trusted_directory(root, directory, platform::DirectoryReaders::AdminsOnly, trust);
      },
      .temp_dir = [] { return platform::temp_directory(); },
      .process_id = [] { return platform::current_process_id(); },
      .registry = &platform::system_registry(),
  };
}

std::string silent_log_dir(const SilentOptions& options, const SilentHost& host) {
  if (options.log_directory) return *options.log_directory;
  return path_to_utf8(path_from_utf8(host.temp_dir()) / format("YoxaOfficeSilent-{}", host.process_id()));
}

std::string own_silent_log_dir(const SilentOptions& options, const SilentHost& host) {
  if (!host.is_local_system()) return silent_log_dir(options, host);
  SilentOptions own = options;
  own.log_directory.reset();
  return silent_log_dir(own, host);
}

bool resolve_silent_scope(std::optional<InstallScope> requested, const SilentHost& host) {
  if (effective_scope(requested, host) == InstallScope::Machine) return true;
  if (!host.is_local_system()) return false;
  log::warn("Silent run is executing as LocalSystem with user scope; promoting to machine scope so the install is "
            "visible to real users (a per-user install under SYSTEM would land in the SYSTEM profile).");
  return true;
}

int run_silent(const ProviderSource& provider, const SilentOptions& options, const SilentHost& host) {
  const std::string log_dir = own_silent_log_dir(options, host);
  // A failure to open the log is reported by the work itself, or by the copy that does it.
  // The file is not created before a relaunch: the user's copy writes this run's
  // installer.log, and one created by LocalSystem could be closed to that user. This
  // process's lines wait and follow the copy's.
  hold_log_lines();
  const char* mode = mode_word(options.mode);

  const bool machine_only_selection = std::ranges::any_of(options.apps, [](const std::string& id) {
    const AppDescriptor* app = app_by_id(id);
    return app && app->machine_only;
  });
  const bool user_scope_as_system =
      effective_scope(options.scope, host) == InstallScope::User && host.is_local_system();
  // The user's copy runs unelevated and cannot install a machine-only app: such a
  // selection stays here and, like a run without a logged-on user, works for all users.
  const bool relaunch = user_scope_as_system && !machine_only_selection;
  const std::optional<int> relaunched = relaunch ? host.relaunch(options) : std::nullopt;
  (void)open_silent_log(log_dir, host);
  if (relaunch && options.log_directory) {
    log::info(format("This LocalSystem process logs to {}; the logged-on user's copy logs to {}", log_dir,
                     *options.log_directory));
  }
  if (relaunched) return *relaunched;
  if (relaunch) {
    log::warn(format("Silent {} requested user scope while running as LocalSystem, but no active user session was "
                     "found; falling back to machine scope.",
                     mode));
  } else if (user_scope_as_system) {
    log::info(format("Silent {} selection holds a machine-only app; running it as LocalSystem at machine scope "
                     "instead of relaunching in the user's session.",
                     mode));
  }
  const bool machine = resolve_silent_scope(options.scope, host);
  const bool elevated = host.is_elevated();
  const bool needs_elevation = !elevated && (machine || machine_only_selection);

  if (needs_elevation) {
    log::info(format("Re-spawning via UAC for silent {} (scope={})", mode, scope_word(machine)));
    ElevatedStart started = host.elevate(encode_silent_payload(options));
    if (started.declined) {
      platform::write_standard_error("UAC declined by user\n");
      return kExitPermissionDenied;
    }
    if (!started.process) {
      platform::write_standard_error(started.error + "\n");
      return kExitPermissionDenied;
    }
    return host.wait_elevated(*started.process);
  }
  log::info(format("Running silent {} in-process (elevated={}, scope={})", mode, elevated, scope_word(machine)));
  return options.mode == SilentMode::Uninstall ? silent_uninstall(options, host)
                                               : silent_install(provider, options, host);
}

int run_silent(const ProviderSource& provider, const SilentOptions& options) {
  return run_silent(provider, options, SilentHost::system());
}

int silent_install(const ProviderSource& provider, const SilentOptions& options, const SilentHost& host) {
  const std::string log_dir = own_silent_log_dir(options, host);
  if (auto opened = open_silent_log(log_dir, host); !opened) {
    platform::write_standard_error(format("Silent install: failed to initialize logger at {}: {}\n", log_dir,
                                          opened.error()));
    return kExitFailed;
  }
  const std::uint32_t pid = host.process_id();
  log::info(format("--- Silent install starting (pid={}) ---", pid));
  log::info(format("Selected apps: {}", id_list(options.apps)));
  log::info(format("Log dir: {}", log_dir));

  if (const auto retired = host.check_expiry()) {
    const std::string message = format("This installer expired on {}. Download a current installer from {}.",
                                       retired->expires_on.value_or("an earlier date"), retired->download_url);
    log::error(message);
    platform::write_standard_error(message + "\n");
    return kExitFailed;
  }

  const bool machine = resolve_silent_scope(options.scope, host);
  // An elevated process stages in the machine base whatever the scope: the user's
  // profile is the user's to change.
  const auto base_dir = host.base_dir(machine || host.is_elevated());
  if (!base_dir) {
    log::error(format("Failed to create silent quit-file at {}: {}", format("silent-lock-{}", pid), base_dir.error()));
    return kExitFailed;
  }
  const std::string& base = *base_dir;
  create_msi_log_placeholders(log_dir);
  const std::string quit_file = path_to_utf8(path_from_utf8(base) / format("silent-lock-{}", pid));
  if (auto created = create_quit_file(quit_file); !created) {
    log::error(format("Failed to create silent quit-file at {}: {}", quit_file, created.error()));
    return kExitFailed;
  }

  DiscardingDrain drain;
  log::info(format("Silent install scope: {}", scope_word(machine)));
  Result<InstallOutcome> outcome = [&] {
    const RunContext run{
        .settings = {.app_ids = options.apps, .machine = machine, .staging_base = base,
                     .privileged = host.is_elevated(), .log_dir = log_dir},
        .sink = drain.sink(),
        .cancel = CancelToken::quit_file(quit_file),
    };
    return host.install(provider, run);
  }();
  if (!drain.close()) log::error("Failed to join the silent event drain");
  std::error_code ignored;
  std::filesystem::remove(path_from_utf8(quit_file), ignored);

  const bool reboot = host.reboot_required();
  std::vector<AppResult> results;
  int code = install_exit_code(outcome, results);
  if (reboot && code == 0) code = kExitRebootRequired;
  write_run_record(*host.registry, "install", code, reboot, results);
  log::info(format("--- Silent install summary: exit_code={} (reboot_required={}) ---", code, reboot));
  return code;
}

int silent_install(const ProviderSource& provider, const SilentOptions& options) {
  return silent_install(provider, options, SilentHost::system());
}

int silent_uninstall(const SilentOptions& options, const SilentHost& host) {
  const std::string log_dir = own_silent_log_dir(options, host);
  if (auto opened = open_silent_log(log_dir, host); !opened) {
    platform::write_standard_error(format("Silent uninstall: failed to initialize logger at {}: {}\n", log_dir,
                                          opened.error()));
    return kExitFailed;
  }
  const bool machine = resolve_silent_scope(options.scope, host);
  log::info(format("--- Silent uninstall starting (pid={}) ---", host.process_id()));
  log::info(format("Selected apps: {}", id_list(options.apps)));
  log::info(format("Log dir: {}", log_dir));
  log::info(format("Silent uninstall scope: {}", scope_word(machine)));

  DiscardingDrain drain;
  std::vector<AppResult> results = [&] {
    const RunContext run{
        .settings = {.app_ids = options.apps, .machine = machine, .staging_base = config_base_dir(machine),
                     .log_dir = log_dir},
        .sink = drain.sink(),
        .cancel = CancelToken(),  // an uninstall is not cancelled
    };
    return host.uninstall(run);
  }();
  if (!drain.close()) log::error("Failed to join the silent event drain");

  log_summary_counts("--- Silent uninstall summary: {} succeeded, {} failed (of {}) ---", results);
  const int code = worker_exit_code(results, false);
  write_run_record(*host.registry, "uninstall", code, false, results);
  log::info(format("--- Silent uninstall exit_code={} ---", code));
  return code;
}

int silent_uninstall(const SilentOptions& options) { return silent_uninstall(options, SilentHost::system()); }

}  // namespace yoxa
