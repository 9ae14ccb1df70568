#pragma once
// A per-user silent run asked of an engine running as LocalSystem: the work is done by a
// copy started in the logged-on user's session with that user's token.
#include <functional>
#include <optional>
#include <string>

#include "platform/registry.h"
#include "platform/session.h"
#include "silent/silent_options.h"

namespace yoxa {

struct RelaunchHost {
  platform::Sessions& sessions = platform::system_sessions();
  platform::Registry& registry = platform::system_registry();
  std::function<std::string()> own_executable;
  // Lets the user's copy install MSIX packages; done while still LocalSystem. Empty: nothing.
  std::function<void()> ensure_sideloading_policy;
};

// "\"<exe>\" <base64 of the silent payload>".
std::string session_user_command_line(const std::string& own_executable, const SilentOptions& options);

// None when no session of a real user is active (or the sessions cannot be listed): the
// caller then works for all users instead. Otherwise the copy's exit code (2 when it could
// not be started or waited for), already written to the run record.
std::optional<int> relaunch_as_session_user(const SilentOptions& options, const RelaunchHost& host);
std::optional<int> relaunch_as_session_user(const SilentOptions& options);

}  // namespace yoxa
