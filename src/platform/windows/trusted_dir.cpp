#include "platform/trusted_dir.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/windows/handle.h"
#include "platform/windows/win.h"

namespace yoxa::platform {

namespace {

// Rights that let an account change the directory or what is created in it.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                        DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool is_well_known(PSID sid, WELL_KNOWN_SID_TYPE type) { return IsWellKnownSid(sid, type) != FALSE; }

std::vector<BYTE> token_information(TOKEN_INFORMATION_CLASS kind) {
  win::UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return {};
  DWORD size = 0;
  GetTokenInformation(token.get(), kind, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !GetTokenInformation(token.get(), kind, buffer.data(), size, &size)) return {};
  return buffer;
}

// The process's own user counts as trusted only when what this process creates is not
// owned by Administrators: an elevated administrator's token makes Administrators the
// owner of new objects, so a directory owned by that user's SID was made by its
// unelevated twin, the attacker this check is for. Wine's token names a plain group as
// default owner and owns every directory by the user, so there the engine's own
// directories pass. LocalSystem is trusted anyway.
struct TrustedAccounts {
  std::vector<BYTE> user;  // TOKEN_USER, empty when the own user is not trusted

  TrustedAccounts() {
    const std::vector<BYTE> owner = token_information(TokenOwner);
    if (owner.empty()) return;
    const PSID default_owner = reinterpret_cast<const TOKEN_OWNER*>(owner.data())->Owner;
    if (is_well_known(default_owner, WinBuiltinAdministratorsSid)) return;
    user = token_information(TokenUser);
  }
  bool trusted(PSID sid) const {
    if (is_well_known(sid, WinBuiltinAdministratorsSid) || is_well_known(sid, WinLocalSystemSid)) return true;
    return !user.empty() && EqualSid(sid, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
  }
};

const TrustedAccounts& trusted_accounts() {
  static const TrustedAccounts accounts;
  return accounts;
}

std::string sid_text(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return "an unknown account";
  const win::UniqueLocal owner(text);
  return win::narrow(text);
}

// The first allow entry that lets an untrusted account change things, if any.
std::optional<std::string> changing_entry(PACL dacl) {
  if (dacl == nullptr) return std::string("everyone (no access list)");
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* raw = nullptr;
    if (!GetAce(dacl, index, &raw)) return std::string("an unreadable entry");
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == SYSTEM_AUDIT_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return std::string("an allow entry of an unusual type");
    const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
    if ((ace->Mask & kChangingRights) == 0) continue;
    const PSID sid = const_cast<DWORD*>(&ace->SidStart);
    // Creator Owner only ever names whoever could already create in here.
    if (is_well_known(sid, WinCreatorOwnerSid) || trusted_accounts().trusted(sid)) continue;
    return sid_text(sid);
  }
  return std::nullopt;
}

const wchar_t* descriptor_text(DirectoryReaders readers) {
  // Owner Administrators; protected: nothing is inherited from the parent.
  return readers == DirectoryReaders::AdminsOnly
             ? L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"
             : L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";
}

class WindowsDirectoryTrust final : public DirectoryTrust {
 public:
  std::expected<DirectoryFacts, OsError> inspect(const std::string& path) override {
    DirectoryFacts facts;
    const std::wstring wide = win::wide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return facts;
      return std::unexpected(OsError{code, win::error_text(code)});
    }
    facts.exists = true;
    facts.is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.reparse_point = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (facts.reparse_point) return facts;
    // The descriptor is read through a handle on the entry itself, never a link's target.
    win::UniqueFileHandle entry(CreateFileW(wide.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                            nullptr));
    if (!entry) return std::unexpected(win::last_error());
    FILE_BASIC_INFO basic{};
    if (GetFileInformationByHandleEx(entry.get(), FileBasicInfo, &basic, sizeof basic) &&
        (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      facts.reparse_point = true;
      return facts;
    }
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD read = GetSecurityInfo(entry.get(), SE_FILE_OBJECT,
                                       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                       &dacl, nullptr, &descriptor);
    if (read != ERROR_SUCCESS) return std::unexpected(OsError{read, win::error_text(read)});
    const win::UniqueLocal descriptor_owner(descriptor);
    facts.owner_trusted = owner != nullptr && trusted_accounts().trusted(owner);
    if (!facts.owner_trusted) {
      facts.detail = owner ? sid_text(owner) : "no owner";
      return facts;
    }
    if (auto entry_text = changing_entry(dacl)) {
      facts.others_can_change = true;
      facts.detail = std::move(*entry_text);
    }
    return facts;
  }

  std::expected<void, OsError> create_protected(const std::string& path, DirectoryReaders readers) override {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(descriptor_text(readers), SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
      return std::unexpected(win::last_error());
    }
    const win::UniqueLocal owner(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    if (!CreateDirectoryW(win::wide(path).c_str(), &attributes)) return std::unexpected(win::last_error());
    return {};
  }

  // Renamed through a handle on the entry itself, and only when that handle is proven to
  // be the link: Wine resolves a Unix link even for FILE_FLAG_OPEN_REPARSE_POINT (tag 0)
  // and its MoveFileExW then renames the link's target, which must never happen.
  std::expected<void, OsError> move_aside(const std::string& path, const std::string& new_path) override {
    const std::wstring wide = win::wide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return std::unexpected(win::last_error());
    win::UniqueFileHandle entry(CreateFileW(wide.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                            nullptr));
    if (!entry) return std::unexpected(win::last_error());
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(entry.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
      return std::unexpected(win::last_error());
    }
    const bool link_by_path = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const bool link_by_handle = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && tag.ReparseTag != 0;
    if (link_by_path != link_by_handle) {
      return std::unexpected(OsError{ERROR_CANT_ACCESS_FILE, "the system opens the link's target, not the link"});
    }
    const std::wstring target = win::wide(new_path);
    const std::size_t bytes = sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t);
    std::vector<BYTE> buffer(bytes, 0);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;  // a name someone took already is never overwritten
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::copy(target.begin(), target.end(), rename->FileName);
    if (!SetFileInformationByHandle(entry.get(), FileRenameInfo, rename, static_cast<DWORD>(bytes))) {
      return std::unexpected(win::last_error());
    }
    return {};
  }
};

}  // namespace

DirectoryTrust& system_directory_trust() {
  static WindowsDirectoryTrust trust;
  return trust;
}

bool is_link_entry(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(win::wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace yoxa::platform
