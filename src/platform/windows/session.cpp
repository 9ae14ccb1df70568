#include "platform/session.h"

#include <userenv.h>
#include <wtsapi32.h>

#include <vector>

#include "platform/windows/handle.h"
#include "platform/windows/spawn.h"

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
};

}  // namespace

Sessions& system_sessions() {
  static WinSessions sessions;
  return sessions;
}

}  // namespace yoxa::platform
