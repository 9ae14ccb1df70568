#include "platform/security.h"

#include "platform/windows/handle.h"

namespace yoxa::platform {

// A token that cannot be queried counts as not elevated: the caller then asks for
// elevation, which at worst shows one prompt too many.
bool is_elevated() {
  win::UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) return false;
  return elevation.TokenIsElevated != 0;
}

}  // namespace yoxa::platform
