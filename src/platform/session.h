#pragma once
// The logged-on users' sessions and starting a process as one of them, for an engine
// that runs as LocalSystem. Windows: WTSEnumerateSessionsW, WTSQueryUserToken,
// DuplicateTokenEx, CreateEnvironmentBlock and CreateProcessAsUserW. The POSIX
// stand-in has no sessions. Tokens, environment blocks and processes are released
// when their owner is destroyed.
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "platform/os_error.h"

namespace yoxa::platform {

struct SessionEntry {
  std::uint32_t id = 0;
  bool active = false;  // WTSActive
};

// Whose token it is, as far as the relaunch cares.
enum class TokenAccount : std::uint8_t { LocalSystem, LocalService, NetworkService, Other };

class SessionToken {
 public:
  virtual ~SessionToken() = default;
};
class EnvironmentBlock {
 public:
  virtual ~EnvironmentBlock() = default;
};
class UserProcess {
 public:
  virtual ~UserProcess() = default;
  // Waits without a time limit; the exit code, or why it could not be read.
  virtual std::expected<std::uint32_t, OsError> wait() = 0;
};

// A copy of the engine's image for one run, removed (with its folder) when destroyed.
class ImageCopy {
 public:
  virtual ~ImageCopy() = default;
  virtual const std::string& path() const = 0;
};

class Sessions {
 public:
  virtual ~Sessions() = default;
  // The local server's sessions in the order the system lists them.
  virtual std::expected<std::vector<SessionEntry>, OsError> list() = 0;
  // The token of the user logged on to `session`.
  virtual std::expected<std::unique_ptr<SessionToken>, OsError> user_token(std::uint32_t session) = 0;
  virtual std::expected<TokenAccount, OsError> account_of(const SessionToken& token) = 0;
  // A primary token to start a process with (TOKEN_ALL_ACCESS, SecurityImpersonation).
  virtual std::expected<std::unique_ptr<SessionToken>, OsError> primary_copy(const SessionToken& token) = 0;
  // The user's own environment, not inheriting this process's.
  virtual std::expected<std::unique_ptr<EnvironmentBlock>, OsError> environment_of(const SessionToken& token) = 0;
  // Starts `command_line` hidden as the token's user, with `environment` or none.
  virtual std::expected<std::unique_ptr<UserProcess>, OsError> start_as(const SessionToken& primary,
                                                                       const EnvironmentBlock* environment,
                                                                       const std::string& command_line) = 0;
  // A copy of `image` in a new folder of its own that only SYSTEM and Administrators may
  // change and the token's user may read and execute, for when the user may not read the
  // original (a folder only LocalSystem can read).
  virtual std::expected<std::unique_ptr<ImageCopy>, OsError> copy_image_for(const SessionToken& user,
                                                                          const std::string& image) = 0;
  // Makes `directory` when it is missing, so that the token's user may add and change files
  // in it (not delete or replace the folder itself); an existing folder is left as it is.
  virtual std::expected<void, OsError> make_folder_writable_for(const SessionToken& user,
                                                                const std::string& directory) = 0;
};

Sessions& system_sessions();

}  // namespace yoxa::platform
