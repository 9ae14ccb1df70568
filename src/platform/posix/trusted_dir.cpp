#include "platform/trusted_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace yoxa::platform {

namespace {

OsError errno_error() {
  const int code = errno;
  return OsError{static_cast<std::uint32_t>(code), std::strerror(code)};
}

// The stand-in reads ownership and mode bits: root and the process's own uid own
// trusted directories; group or world write lets others change one.
class PosixDirectoryTrust final : public DirectoryTrust {
 public:
  std::expected<DirectoryFacts, OsError> inspect(const std::string& path) override {
    DirectoryFacts facts;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return facts;
      return std::unexpected(errno_error());
    }
    facts.exists = true;
    facts.reparse_point = S_ISLNK(status.st_mode);
    facts.is_directory = S_ISDIR(status.st_mode);
    facts.owner_trusted = status.st_uid == 0 || status.st_uid == ::geteuid();
    if (!facts.owner_trusted) facts.detail = "uid " + std::to_string(status.st_uid);
    if (facts.owner_trusted && (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      facts.others_can_change = true;
      facts.detail = "group or others";
    }
    return facts;
  }

  std::expected<void, OsError> create_protected(const std::string& path, DirectoryReaders readers) override {
    const mode_t mode = readers == DirectoryReaders::AdminsOnly ? 0700 : 0755;
    if (::mkdir(path.c_str(), mode) != 0) return std::unexpected(errno_error());
    return {};
  }

  std::expected<void, OsError> move_aside(const std::string& path, const std::string& new_path) override {
    if (::access(new_path.c_str(), F_OK) == 0) return std::unexpected(OsError{EEXIST, std::strerror(EEXIST)});
    if (std::rename(path.c_str(), new_path.c_str()) != 0) return std::unexpected(errno_error());
    return {};
  }
};

}  // namespace

DirectoryTrust& system_directory_trust() {
  static PosixDirectoryTrust trust;
  return trust;
}

bool is_link_entry(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

}  // namespace yoxa::platform
