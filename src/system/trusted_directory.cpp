#include "system/trusted_directory.h"

#include <filesystem>

#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"
#include "platform/system.h"

namespace yoxa {

namespace fs = std::filesystem;

namespace {

constexpr int kAsideAttempts = 5;

// A name an attacker may have taken already is skipped, not overwritten.
std::expected<std::string, std::string> move_aside(const std::string& path, platform::DirectoryTrust& trust) {
  std::string last_error;
  for (int attempt = 1; attempt <= kAsideAttempts; ++attempt) {
    const std::string aside = format("{}.untrusted-{}-{}", path, platform::current_process_id(), attempt);
    auto moved = trust.move_aside(path, aside);
    if (moved) return aside;
    last_error = moved.error().text;
  }
  return std::unexpected(last_error);
}

std::expected<void, std::string> ensure_level(const std::string& path, platform::DirectoryReaders readers,
                                              platform::DirectoryTrust& trust) {
  auto facts = trust.inspect(path);
  if (!facts) return std::unexpected(format("cannot inspect {}: {}", path, facts.error().text));
  if (!facts->exists) {
    auto created = trust.create_protected(path, readers);
    if (created) return {};
    // Something may have appeared in between: judge that like anything found.
    facts = trust.inspect(path);
    if (!facts || !facts->exists) {
      return std::unexpected(format("cannot create {}: {}", path, created.error().text));
    }
  }
  const std::string reason = untrusted_reason(*facts);
  if (reason.empty()) return {};
  auto aside = move_aside(path, trust);
  if (!aside) {
    log::error(format("{} is not trustworthy ({}) and could not be moved aside: {}; nothing is written through it",
                      path, reason, aside.error()));
    return std::unexpected(format("{} is not trustworthy ({})", path, reason));
  }
  if (auto created = trust.create_protected(path, readers); !created) {
    log::error(format("{} is not trustworthy ({}); moved it aside to {}, but could not create it afresh: {}", path,
                      reason, *aside, created.error().text));
    return std::unexpected(format("cannot create {}: {}", path, created.error().text));
  }
  log::warn(format("{} is not trustworthy ({}); moved it aside to {} and created it afresh", path, reason, *aside));
  return {};
}

}  // namespace

std::string untrusted_reason(const platform::DirectoryFacts& facts) {
  if (!facts.exists) return {};
  if (facts.reparse_point) return "it is a link or reparse point";
  if (!facts.is_directory) return "it is not a directory";
  if (!facts.owner_trusted) return format("owned by {}", facts.detail);
  if (facts.others_can_change) return format("{} may change it", facts.detail);
  return {};
}

std::expected<void, std::string> ensure_trusted_directory(const std::string& root, const std::string& directory,
                                                          platform::DirectoryReaders readers,
                                                          platform::DirectoryTrust& trust) {
  const fs::path base = path_from_utf8(root);
  const fs::path relative = path_from_utf8(directory).lexically_relative(base);
  if (relative.empty() || *relative.begin() == "..") {
    return std::unexpected(format("{} is not below {}", directory, root));
  }
  std::vector<fs::path> levels(relative.begin(), relative.end());
  fs::path current = base;
  for (std::size_t index = 0; index < levels.size(); ++index) {
    if (levels[index] == "." || levels[index] == "..") return std::unexpected(format("{} is not below {}", directory, root));
    current /= levels[index];
    const bool last = index + 1 == levels.size();
    auto ensured = ensure_level(path_to_utf8(current), last ? readers : platform::DirectoryReaders::UsersReadExecute,
                                trust);
    if (!ensured) return ensured;
  }
  return {};
}

std::expected<void, std::string> ensure_trusted_directory(const std::string& root, const std::string& directory,
                                                          platform::DirectoryReaders readers) {
  return ensure_trusted_directory(root, directory, readers, platform::system_directory_trust());
}

}  // namespace yoxa
