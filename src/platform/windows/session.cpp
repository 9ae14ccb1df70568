#include "platform/session.h"

#include <userenv.h>
#include <wtsapi32.h>

#include <cwchar>
#include <random>
#include <vector>

#include "platform/system.h"
#include "platform/windows/handle.h"
#include "platform/windows/spawn.h"
#include "platform/windows/user_folder.h"

namespace yoxa::platform {

namespace {

struct SessionListTraits {
  using Raw = PWTS_SESSION_INFOW;
  static Raw none() { return nullptr; }
  static bool valid(Raw raw) { return raw != nullptr; }
  static void close(Raw raw) { WTSFreeMemory(raw); }
};
struct EnvironmentTraits {
  using Raw = void*;
  static Raw none() { return nullptr; }
  static bool valid(Raw raw) { return raw != nullptr; }
  static void close(Raw raw) { DestroyEnvironmentBlock(raw); }
};

class WinToken final : public SessionToken {
 public:
  explicit WinToken(win::UniqueHandle handle) : handle_(std::move(handle)) {}
  HANDLE get() const { return handle_.get(); }

 private:
  win::UniqueHandle handle_;
};

class WinEnvironment final : public EnvironmentBlock {
 public:
  explicit WinEnvironment(win::Unique<EnvironmentTraits> block) : block_(std::move(block)) {}
  void* get() const { return block_.get(); }

 private:
  win::Unique<EnvironmentTraits> block_;
};

class WinUserProcess final : public UserProcess {
 public:
  explicit WinUserProcess(win::UniqueHandle process) : process_(std::move(process)) {}
  std::expected<std::uint32_t, OsError> wait() override {
    if (WaitForSingleObject(process_.get(), INFINITE) != WAIT_OBJECT_0) return std::unexpected(win::last_error());
    DWORD code = 0;
    if (!GetExitCodeProcess(process_.get(), &code)) return std::unexpected(win::last_error());
    return code;
  }

 private:
  win::UniqueHandle process_;
};

HANDLE raw(const SessionToken& token) { return static_cast<const WinToken&>(token).get(); }

// The folder and the copy inside it; both go when the run is over.
class WinImageCopy final : public ImageCopy {
 public:
  explicit WinImageCopy(std::wstring folder) : folder_(std::move(folder)) {}
  WinImageCopy(const WinImageCopy&) = delete;
  WinImageCopy& operator=(const WinImageCopy&) = delete;
  ~WinImageCopy() override {
    if (!file_.empty()) DeleteFileW(file_.c_str());
    RemoveDirectoryW(folder_.c_str());
  }
  void set_file(std::wstring file) {
    file_ = std::move(file);
    path_ = win::narrow(file_);
  }
  const std::string& path() const override { return path_; }

 private:
  std::wstring folder_;
  std::wstring file_;
  std::string path_;
};

// Copies the bytes into a file that must not exist yet; it takes the access list its
// folder passes on.
std::expected<void, OsError> copy_into_new_file(const std::wstring& source, const std::wstring& target) {
  win::UniqueFileHandle from(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!from) return std::unexpected(win::last_error());
  win::UniqueFileHandle to(
      CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!to) return std::unexpected(win::last_error());
  std::vector<char> buffer(256 * 1024);
  while (true) {
    DWORD read = 0;
    if (!ReadFile(from.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
      return std::unexpected(win::last_error());
    }
    if (read == 0) return {};
    DWORD written = 0;
    if (!WriteFile(to.get(), buffer.data(), read, &written, nullptr) || written != read) {
      return std::unexpected(win::last_error());
    }
  }
}

std::wstring file_name_of(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Missing folders above `directory`, outermost first.
std::vector<std::wstring> missing_parents(const std::wstring& directory) {
  std::vector<std::wstring> missing;
  std::wstring path = directory;
  while (true) {
    const std::size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos || slash < 3) break;
    path.resize(slash);
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) break;
    missing.insert(missing.begin(), path);
  }
  return missing;
}

bool is_well_known(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE known[SECURITY_MAX_SID_SIZE] = {};
  DWORD size = sizeof known;
  return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

class WinSessions final : public Sessions {
 public:
  std::expected<std::vector<SessionEntry>, OsError> list() override {
    win::Unique<SessionListTraits> sessions;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, sessions.out(), &count)) {
      return std::unexpected(win::last_error());
    }
    std::vector<SessionEntry> entries;
    for (DWORD i = 0; i < count; ++i) {
      entries.push_back({sessions.get()[i].SessionId, sessions.get()[i].State == WTSActive});
    }
    return entries;
  }

  std::expected<std::unique_ptr<SessionToken>, OsError> user_token(std::uint32_t session) override {
    win::UniqueHandle token;
    if (!WTSQueryUserToken(session, token.out())) return std::unexpected(win::last_error());
    return std::make_unique<WinToken>(std::move(token));
  }

  std::expected<TokenAccount, OsError> account_of(const SessionToken& token) override {
    DWORD size = 0;
    GetTokenInformation(raw(token), TokenUser, nullptr, 0, &size);
    if (size == 0) return std::unexpected(win::last_error());
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(raw(token), TokenUser, buffer.data(), size, &size)) {
      return std::unexpected(win::last_error());
    }
    const PSID user = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    if (is_well_known(user, WinLocalSystemSid)) return TokenAccount::LocalSystem;
    if (is_well_known(user, WinLocalServiceSid)) return TokenAccount::LocalService;
    if (is_well_known(user, WinNetworkServiceSid)) return TokenAccount::NetworkService;
    return TokenAccount::Other;
  }

  std::expected<std::unique_ptr<SessionToken>, OsError> primary_copy(const SessionToken& token) override {
    win::UniqueHandle primary;
    if (!DuplicateTokenEx(raw(token), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                          primary.out())) {
      return std::unexpected(win::last_error());
    }
    return std::make_unique<WinToken>(std::move(primary));
  }

  std::expected<std::unique_ptr<EnvironmentBlock>, OsError> environment_of(const SessionToken& token) override {
    win::Unique<EnvironmentTraits> block;
    if (!CreateEnvironmentBlock(block.out(), raw(token), FALSE)) return std::unexpected(win::last_error());
    return std::make_unique<WinEnvironment>(std::move(block));
  }

  std::expected<std::unique_ptr<UserProcess>, OsError> start_as(const SessionToken& primary,
                                                               const EnvironmentBlock* environment,
                                                               const std::string& command_line) override {
    void* block = environment ? static_cast<const WinEnvironment*>(environment)->get() : nullptr;
    auto started = win::spawn_as_user(raw(primary), block, command_line);
    if (!started) return std::unexpected(started.error());
    return std::make_unique<WinUserProcess>(std::move(started->process));
  }

  std::expected<std::unique_ptr<ImageCopy>, OsError> copy_image_for(const SessionToken& user,
                                                                  const std::string& image) override {
    const auto sid = win::token_user_sid(raw(user));
    if (!sid) return std::unexpected(sid.error());
    // An unpredictable name in LocalSystem's temp directory; a name someone made first is skipped.
    std::random_device random;
    const std::wstring base = win::wide(temp_directory());
    for (int attempt = 0; attempt < 8; ++attempt) {
      wchar_t name[40];
      swprintf(name, 40, L"\\YoxaOfficeUser-%08x%08x", static_cast<unsigned>(random()), static_cast<unsigned>(random()));
      const std::wstring folder = base + name;
      auto made = win::create_folder_for_user(folder, const_cast<char*>(sid->data()), win::UserAccess::ReadExecute);
      if (!made) {
        if (made.error().code == ERROR_ALREADY_EXISTS) continue;
        return std::unexpected(made.error());
      }
      auto copy = std::make_unique<WinImageCopy>(folder);
      const std::wstring source = win::wide(image);
      const std::wstring target = folder + L"\\" + file_name_of(source);
      auto copied = copy_into_new_file(source, target);
      copy->set_file(target);  // also removed when only part of it was written
      if (!copied) return std::unexpected(copied.error());
      return copy;
    }
    return std::unexpected(OsError{ERROR_ALREADY_EXISTS, win::error_text(ERROR_ALREADY_EXISTS)});
  }

  std::expected<void, OsError> make_folder_writable_for(const SessionToken& user,
                                                        const std::string& directory) override {
    const std::wstring path = win::wide(directory);
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return {};
    const auto sid = win::token_user_sid(raw(user));
    if (!sid) return std::unexpected(sid.error());
    for (const std::wstring& parent : missing_parents(path)) {
      if (!CreateDirectoryW(parent.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return std::unexpected(win::last_error());
      }
    }
    return win::create_folder_for_user(path, const_cast<char*>(sid->data()), win::UserAccess::AddFiles);
  }
};

}  // namespace

Sessions& system_sessions() {
  static WinSessions sessions;
  return sessions;
}

}  // namespace yoxa::platform
