#include "platform/windows/user_folder.h"

#include <sddl.h>

#include <vector>

#include "platform/windows/handle.h"

namespace yoxa::platform::win {

namespace {
// FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, for the folder and all inside.
std::wstring read_execute_aces(const wchar_t* sid) { return std::wstring(L"(A;OICI;0x1200a9;;;") + sid + L")"; }
// The folder itself: read, traverse and add files, but neither delete nor rename it nor
// add subfolders, so it cannot be swapped for a link before we write in it again. What
// is made inside: modify (write, delete, rename).
std::wstring writable_aces(const wchar_t* sid) {
  return std::wstring(L"(A;;0x1200ab;;;") + sid + L")(A;OICIIO;0x1301bf;;;" + sid + L")";
}
}  // namespace

std::expected<void, OsError> create_folder_for_user(const std::wstring& path, PSID user, UserAccess access) {
  wchar_t* sid_text = nullptr;
  if (!ConvertSidToStringSidW(user, &sid_text)) return std::unexpected(last_error());
  const UniqueLocal sid_owner(sid_text);
  // P: protected, so nothing the parent grants (a temp folder lets users create) applies.
  const std::wstring sddl = std::wstring(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)") +
                            (access == UserAccess::AddFiles ? writable_aces(sid_text) : read_execute_aces(sid_text));
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return std::unexpected(last_error());
  }
  const UniqueLocal descriptor_owner(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  if (!CreateDirectoryW(path.c_str(), &attributes)) return std::unexpected(last_error());
  return {};
}

std::expected<std::string, OsError> token_user_sid(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return std::unexpected(last_error());
  std::vector<BYTE> buffer(size);
  if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return std::unexpected(last_error());
  const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
  const DWORD length = GetLengthSid(sid);
  std::string copy(length, '\0');
  if (!CopySid(length, copy.data(), sid)) return std::unexpected(last_error());
  return copy;
}

}  // namespace yoxa::platform::win
