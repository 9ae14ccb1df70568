#pragma once
// Folders that LocalSystem makes for one logged-on user's copy of the engine. To move onto
// the trusted-directory facility once it exists.
#include <expected>
#include <string>

#include "platform/windows/win.h"

namespace yoxa::platform::win {

enum class UserAccess : std::uint8_t {
  ReadExecute,  // the user runs what is inside and changes nothing
  AddFiles,     // the user adds and changes files in it, not the folder itself (a log folder)
};

// Creates the directory `path` with a protected access list: SYSTEM and Administrators
// full control, `user` the given access, passed on to everything made inside, nothing
// from the parent. Fails when anything already stands at `path` (ERROR_ALREADY_EXISTS),
// so a folder planted first is never taken for ours.
std::expected<void, OsError> create_folder_for_user(const std::wstring& path, PSID user, UserAccess access);

// The user SID of a token, copied into the returned bytes.
std::expected<std::string, OsError> token_user_sid(HANDLE token);

}  // namespace yoxa::platform::win
