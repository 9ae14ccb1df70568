#include "platform/session.h"

#include <cerrno>

namespace yoxa::platform {

namespace {
OsError no_sessions() { return {static_cast<std::uint32_t>(ENOSYS), "there are no user sessions on this platform"}; }

// Nothing runs as a service account here, so the relaunch never gets past the list.
class PosixSessions final : public Sessions {
 public:
  std::expected<std::vector<SessionEntry>, OsError> list() override { return std::unexpected(no_sessions()); }
  std::expected<std::unique_ptr<SessionToken>, OsError> user_token(std::uint32_t) override {
    return std::unexpected(no_sessions());
  }
  std::expected<TokenAccount, OsError> account_of(const SessionToken&) override {
    return std::unexpected(no_sessions());
  }
  std::expected<std::unique_ptr<SessionToken>, OsError> primary_copy(const SessionToken&) override {
    return std::unexpected(no_sessions());
  }
  std::expected<std::unique_ptr<EnvironmentBlock>, OsError> environment_of(const SessionToken&) override {
    return std::unexpected(no_sessions());
  }
  std::expected<std::unique_ptr<UserProcess>, OsError> start_as(const SessionToken&, const EnvironmentBlock*,
                                                               const std::string&) override {
    return std::unexpected(no_sessions());
  }
  std::expected<std::unique_ptr<ImageCopy>, OsError> copy_image_for(const SessionToken&,
                                                                  const std::string&) override {
    return std::unexpected(no_sessions());
  }
  std::expected<void, OsError> make_folder_writable_for(const SessionToken&, const std::string&) override {
    return std::unexpected(no_sessions());
  }
};
}  // namespace

Sessions& system_sessions() {
  static PosixSessions sessions;
  return sessions;
}

}  // namespace yoxa::platform
