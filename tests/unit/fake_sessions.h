#pragma once
#include <optional>
#include <string>
#include <vector>

#include "platform/session.h"

namespace yoxa::testing {

// The sessions of a machine as a test describes them. Every token and environment block
// it hands out is counted while alive, so a test can see that all were released.
class FakeSessions final : public platform::Sessions {
 public:
  struct Session {
    std::uint32_t id = 0;
    bool active = true;
    std::optional<platform::TokenAccount> account;  // none: WTSQueryUserToken fails
  };
  struct Token final : platform::SessionToken {
    Token(FakeSessions& of, std::uint32_t id, bool is_primary) : owner(of), session(id), primary(is_primary) {
      ++owner.alive;
    }
    ~Token() override { --owner.alive; }
    FakeSessions& owner;
    std::uint32_t session;
    bool primary;
  };
  struct Environment final : platform::EnvironmentBlock {
    explicit Environment(FakeSessions& of) : owner(of) { ++owner.alive; }
    ~Environment() override { --owner.alive; }
    FakeSessions& owner;
  };
  struct Child final : platform::UserProcess {
    Child(FakeSessions& of, std::expected<std::uint32_t, platform::OsError> exit) : owner(of), code(std::move(exit)) {}
    std::expected<std::uint32_t, platform::OsError> wait() override {
      owner.copies_during_wait = owner.copies;
      return code;
    }
    FakeSessions& owner;
    std::expected<std::uint32_t, platform::OsError> code;
  };
  struct Copy final : platform::ImageCopy {
    Copy(FakeSessions& of, std::string at) : owner(of), where(std::move(at)) { ++owner.copies; }
    ~Copy() override { --owner.copies; }
    const std::string& path() const override { return where; }
    FakeSessions& owner;
    std::string where;
  };

  std::vector<Session> sessions;
  bool list_fails = false;
  bool duplicate_fails = false;
  bool environment_fails = false;
  std::optional<std::uint32_t> start_error;  // a Win32 code
  std::expected<std::uint32_t, platform::OsError> child_exit = 0u;
  std::optional<std::string> unreadable_image;  // starting it fails with ERROR_ACCESS_DENIED
  bool copy_fails = false;
  bool folder_fails = false;
  std::string copy_path = "C:\\Windows\\SystemTemp\\YoxaOfficeUser-0123\\YoxaOfficeInstaller.exe";

  // What happened.
  int alive = 0;
  std::optional<std::uint32_t> started_in;
  bool started_with_environment = false;
  std::string command_line;
  std::vector<std::string> attempts;  // every command line start_as was asked to run
  std::optional<std::string> copied_from;
  int copies = 0;  // alive
  std::optional<int> copies_during_wait;
  std::vector<std::string> writable_folders;

  std::expected<std::vector<platform::SessionEntry>, platform::OsError> list() override {
    if (list_fails) return std::unexpected(platform::OsError{5, "Access is denied. (os error 5)"});
    std::vector<platform::SessionEntry> entries;
    for (const Session& s : sessions) entries.push_back({s.id, s.active});
    return entries;
  }
  std::expected<std::unique_ptr<platform::SessionToken>, platform::OsError> user_token(std::uint32_t id) override {
    const Session* session = find(id);
    if (!session || !session->account) return std::unexpected(platform::OsError{1008, "no token"});
    return std::make_unique<Token>(*this, id, false);
  }
  std::expected<platform::TokenAccount, platform::OsError> account_of(const platform::SessionToken& token) override {
    return *find(as_token(token).session)->account;
  }
  std::expected<std::unique_ptr<platform::SessionToken>, platform::OsError> primary_copy(
      const platform::SessionToken& token) override {
    if (duplicate_fails) return std::unexpected(platform::OsError{5, "Access is denied. (os error 5)"});
    return std::make_unique<Token>(*this, as_token(token).session, true);
  }
  std::expected<std::unique_ptr<platform::EnvironmentBlock>, platform::OsError> environment_of(
      const platform::SessionToken&) override {
    if (environment_fails) return std::unexpected(platform::OsError{1312, "no profile"});
    return std::make_unique<Environment>(*this);
  }
  std::expected<std::unique_ptr<platform::UserProcess>, platform::OsError> start_as(
      const platform::SessionToken& primary, const platform::EnvironmentBlock* environment,
      const std::string& line) override {
    if (!as_token(primary).primary) return std::unexpected(platform::OsError{1309, "not a primary token"});
    attempts.push_back(line);
    if (unreadable_image && line.starts_with("\"" + *unreadable_image + "\"")) {
      return std::unexpected(platform::OsError{5, "Access is denied. (os error 5)"});
    }
    if (start_error) return std::unexpected(platform::OsError{*start_error, "from the test"});
    started_in = as_token(primary).session;
    started_with_environment = environment != nullptr;
    command_line = line;
    return std::make_unique<Child>(*this, child_exit);
  }
  std::expected<std::unique_ptr<platform::ImageCopy>, platform::OsError> copy_image_for(
      const platform::SessionToken& user, const std::string& image) override {
    if (!as_token(user).primary) return std::unexpected(platform::OsError{1309, "not a primary token"});
    if (copy_fails) return std::unexpected(platform::OsError{112, "There is not enough space on the disk. (os error 112)"});
    copied_from = image;
    return std::make_unique<Copy>(*this, copy_path);
  }
  std::expected<void, platform::OsError> make_folder_writable_for(const platform::SessionToken&,
                                                                  const std::string& directory) override {
    if (folder_fails) return std::unexpected(platform::OsError{5, "Access is denied. (os error 5)"});
    writable_folders.push_back(directory);
    return {};
  }

 private:
  const Session* find(std::uint32_t id) const {
    for (const Session& s : sessions) {
      if (s.id == id) return &s;
    }
    return nullptr;
  }
  static const Token& as_token(const platform::SessionToken& token) { return static_cast<const Token&>(token); }
};

}  // namespace yoxa::testing
