#pragma once
// The one CreateProcessW sequence of the Windows platform layer, and the "runas" start.
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "platform/windows/handle.h"

namespace yoxa::platform::win {

struct Spawned {
  UniqueHandle process;
  DWORD id = 0;
};

// The child's standard handles; they must be inheritable. Callers that create
// inheritable handles hold spawn_mutex() from their creation until they are closed.
struct StandardHandles {
  HANDLE input = nullptr;
  HANDLE output = nullptr;
  HANDLE error = nullptr;
};

enum class Window : std::uint8_t { Hidden, Visible };

// Starts `program` with each argument quoted by the Windows rules. Hidden children get
// CREATE_NO_WINDOW; visible ones (installers that show their own UI) do not.
std::expected<Spawned, OsError> spawn(const std::string& program, const std::vector<std::string>& arguments,
                                      const StandardHandles& handles, Window window);

// ShellExecuteExW with the "runas" verb: the UAC prompt, then the program elevated with
// `parameters` as its whole command-line tail. The OS error of the call on failure
// (ERROR_CANCELLED when the user declined).
std::expected<Spawned, OsError> spawn_elevated(const std::string& program, const std::string& parameters);

// CreateProcessAsUserW: `command_line` as it stands (already quoted), hidden, in the
// token's session with `environment` (a Unicode block) or none, inheriting no handle.
std::expected<Spawned, OsError> spawn_as_user(HANDLE primary_token, void* environment,
                                              const std::string& command_line);

}  // namespace yoxa::platform::win
