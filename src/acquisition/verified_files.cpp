#include "acquisition/verified_files.h"

#include "core/messages.h"
#include "core/places.h"
#include "core/text.h"

namespace yoxa {

Result<void> VerifiedFileHolds::hold(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (held_.contains(path)) return {};
  auto held = platform::HeldFile::open(path);
  if (!held) {
    return fail(msg::kVerificationFailed, format("Could not hold {} against changes: {}", path, held.error().text),
                place::kVerifyHoldFile);
  }
  held_.emplace(path, std::move(*held));
  return {};
}

void VerifiedFileHolds::release(const std::string& path) {
  std::lock_guard lock(mutex_);
  held_.erase(path);
}

void VerifiedFileHolds::release_all() {
  std::lock_guard lock(mutex_);
  held_.clear();
}

bool VerifiedFileHolds::holds(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return held_.contains(path);
}

VerifiedFileHolds& verified_file_holds() {
  static VerifiedFileHolds holds;
  return holds;
}

}  // namespace yoxa
