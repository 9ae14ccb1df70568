#include "platform/security.h"

#include <vector>

#include "platform/windows/handle.h"

namespace yoxa::platform {

bool is_local_system() {
  win::UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return false;
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<BYTE> buffer(size);
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return false;
  const PSID user = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;

  BYTE system_sid[SECURITY_MAX_SID_SIZE] = {};
  DWORD system_size = sizeof system_sid;
  if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &system_size)) return false;
  const DWORD user_length = GetLengthSid(user);
  const DWORD system_length = GetLengthSid(system_sid);
  return user_length != 0 && user_length == system_length && EqualSid(user, system_sid);
}

}  // namespace yoxa::platform
