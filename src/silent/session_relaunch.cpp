#include "silent/session_relaunch.h"

#include <memory>

#include "core/base64.h"
#include "core/log.h"
#include "core/text.h"
#include "platform/system.h"
#include "silent/run_record.h"
#include "silent/silent_payload.h"
#include "system/elevation.h"
#include "system/sideloading_policy.h"

namespace yoxa {

namespace {
constexpr int kFailure = 2;
constexpr std::uint32_t kAccessDenied = 5;  // ERROR_ACCESS_DENIED

using platform::SessionToken;

bool is_service_account(platform::TokenAccount account) { return account != platform::TokenAccount::Other; }

struct ChosenSession {
  std::uint32_t id = 0;
  std::unique_ptr<SessionToken> token;
};

// The first active session whose user is a real person.
std::optional<ChosenSession> choose_session(platform::Sessions& sessions,
                                            const std::vector<platform::SessionEntry>& entries) {
  for (const platform::SessionEntry& entry : entries) {
    if (!entry.active) continue;
    auto token = sessions.user_token(entry.id);
    if (!token) continue;
    const auto account = sessions.account_of(**token);
    if (!account || is_service_account(*account)) continue;
    return ChosenSession{entry.id, std::move(*token)};
  }
  return std::nullopt;
}

// Starts the copy with the user's token and waits for it; every token and block it made
// is released before it returns.
int run_as_user(const SilentOptions& options, const RelaunchHost& host, const SessionToken& user_token) {
  auto primary = host.sessions.primary_copy(user_token);
  if (!primary) {
    log::error("DuplicateTokenEx failed for per-user relaunch");
    return kFailure;
  }
  std::unique_ptr<platform::EnvironmentBlock> environment;
  if (auto built = host.sessions.environment_of(**primary)) {
    environment = std::move(*built);
  } else {
    log::warn("CreateEnvironmentBlock failed; child will inherit a minimal environment");
  }
  const std::string own_executable = host.own_executable ? host.own_executable() : std::string();
  if (own_executable.empty() || !is_valid_utf8(own_executable)) {
    log::error("Failed to determine current_exe for per-user relaunch");
    return kFailure;
  }
  if (options.log_directory) {
    if (auto made = host.sessions.make_folder_writable_for(**primary, *options.log_directory); !made) {
      log::warn(format("Could not prepare the log folder {} for the logged-on user: {}", *options.log_directory,
                       made.error().text));
    }
  }
  auto child = host.sessions.start_as(**primary, environment.get(), session_user_command_line(own_executable, options));
  // Held until the child has ended; removed with its folder afterwards.
  std::unique_ptr<platform::ImageCopy> image_copy;
  if (!child && child.error().code == kAccessDenied) {
    // The image may sit where only LocalSystem can read it (a management agent's staging
    // folder): the user's copy then runs from a copy the user can read and execute.
    log::warn(format("The logged-on user cannot start {}; relaunching from a copy of it", own_executable));
    auto copied = host.sessions.copy_image_for(**primary, own_executable);
    if (copied) {
      image_copy = std::move(*copied);
      child = host.sessions.start_as(**primary, environment.get(),
                                     session_user_command_line(image_copy->path(), options));
    } else {
      log::error(format("Could not copy the engine for the logged-on user: {}", copied.error().text));
    }
  }
  if (!child) {
    log::error(format("CreateProcessAsUserW failed for per-user relaunch: {}",
                      hresult_text(hresult_from_win32(child.error().code))));
    return kFailure;
  }
  const auto code = (*child)->wait();
  if (!code) {
    log::error(format("GetExitCodeProcess failed for relaunched child: {}",
                      static_cast<std::int32_t>(hresult_from_win32(code.error().code))));
    return kFailure;
  }
  return static_cast<int>(*code);
}
// The path, or empty with the OS's reason in the log: the relaunch then reports its own failure.
std::string executable_path_or_empty() {
  auto path = platform::own_executable_path();
  if (path) return *path;
  log::error(format("current_exe: {}", path.error().os.text));
  return {};
}
}  // namespace

std::string session_user_command_line(const std::string& own_executable, const SilentOptions& options) {
  return format("\"{}\" {}", own_executable, base64_encode_unpadded(encode_silent_payload(options)));
}

std::optional<int> relaunch_as_session_user(const SilentOptions& options, const RelaunchHost& host) {
  const auto entries = host.sessions.list();
  if (!entries) {
    log::warn("WTSEnumerateSessionsW failed; cannot locate a user session for per-user relaunch");
    return std::nullopt;
  }
  auto chosen = choose_session(host.sessions, *entries);
  if (!chosen) return std::nullopt;

  const char* mode = mode_word(options.mode);
  log::info(format("Silent {} requested user scope while running as LocalSystem; relaunching in session {} as the "
                   "logged-on user.",
                   mode, chosen->id));
  if (options.mode == SilentMode::Install && host.ensure_sideloading_policy) host.ensure_sideloading_policy();
  const int result = run_as_user(options, host, *chosen->token);
  // The user's copy cannot write to HKEY_LOCAL_MACHINE: this record is the one that stays.
  write_delegated_run_record(host.registry, mode, result, options.apps);
  return result;
}

std::optional<int> relaunch_as_session_user(const SilentOptions& options) {
  return relaunch_as_session_user(
      options, RelaunchHost{.own_executable = [] { return executable_path_or_empty(); }, .ensure_sideloading_policy = [] { ensure_sideloading_policy(platform::system_registry()); }});
}

}  // namespace yoxa
