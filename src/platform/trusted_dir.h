#pragma once
// What a privileged process needs to know about a directory before it writes through
// it, read without following links, and the two changes it may make: create one with
// its final protected access list in the same call, and move a bad one aside.
#include <cstdint>
#include <expected>
#include <string>

#include "platform/os_error.h"

namespace yoxa::platform {

// One directory entry as it is, never as a link's target.
struct DirectoryFacts {
  bool exists = false;
  bool is_directory = false;
  bool reparse_point = false;
  // Owned by Administrators, LocalSystem, or this process's own user where that user
  // cannot be a less privileged twin of it (Windows implementation says when).
  bool owner_trusted = false;
  // Some allow entry lets another account write, delete, change the access list or
  // take ownership (for the entry itself or, inherited, for what is created in it).
  bool others_can_change = false;
  std::string detail;  // the owner, or the account an entry lets in, for the log
};

// Who may read a created directory besides Administrators and LocalSystem (full control).
enum class DirectoryReaders : std::uint8_t { AdminsOnly, UsersReadExecute };

class DirectoryTrust {
 public:
  virtual ~DirectoryTrust() = default;
  // A missing entry is facts with exists false, not an error.
  virtual std::expected<DirectoryFacts, OsError> inspect(const std::string& path) = 0;
  // Creates one directory (its parent exists) owned by Administrators with a protected
  // access list; fails when something is already there.
  virtual std::expected<void, OsError> create_protected(const std::string& path, DirectoryReaders readers) = 0;
  // Renames the entry itself: a link moves, its target stays where it is.
  virtual std::expected<void, OsError> move_aside(const std::string& path, const std::string& new_path) = 0;
};

// Windows: Win32 attributes and security descriptors. POSIX stand-in: lstat and mode
// bits, the process's own uid and root trusted.
DirectoryTrust& system_directory_trust();

// Whether the entry at `path` (file or directory) is a reparse point or link, read
// without following it; false when it does not exist.
bool is_link_entry(const std::string& path);

}  // namespace yoxa::platform
