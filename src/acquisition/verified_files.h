#pragma once
// Verify what is installed, install what was verified: each package is held open,
// denying writes and deletes to everyone, from before its checks until its installer
// has exited, so nobody can swap it in between.
#include <map>
#include <mutex>
#include <string>

#include "core/error.h"
#include "platform/held_file.h"

namespace yoxa {

class VerifiedFileHolds {
 public:
  // Opens `path` deny-write (kept when it is held already); a file that cannot be
  // opened so fails verification.
  Result<void> hold(const std::string& path);
  void release(const std::string& path);
  // After an app's installer has exited, before the clean-up deletes old packages.
  void release_all();
  bool holds(const std::string& path) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, platform::HeldFile> held_;
};

// The process's holds, which the verification fills and the install pipeline empties.
VerifiedFileHolds& verified_file_holds();

}  // namespace yoxa
