// Kept apart from the rest of the platform layer: the windows-test preset links a
// variant of the engine with its own answer here, to show the unelevated path under
// Wine (where every process is elevated). The shipped engine always links this one.
#include "platform/security.h"
#include "platform/windows/handle.h"

namespace yoxa::platform {

bool is_elevated() {
  win::UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) return false;
  return elevation.TokenIsElevated != 0;
}

}  // namespace yoxa::platform
