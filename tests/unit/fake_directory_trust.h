#pragma once
// A file system of directory entries whose owners, access lists and links the test
// decides, for the trusted-directory policy.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/system.h"
#include "platform/trusted_dir.h"

namespace yoxa::testing {

class FakeDirectoryTrust final : public platform::DirectoryTrust {
 public:
  static platform::DirectoryFacts trusted() { return {.exists = true, .is_directory = true, .owner_trusted = true, .detail = {}}; }
  static platform::DirectoryFacts owned_by_user() {
    return {.exists = true, .is_directory = true, .owner_trusted = false, .detail = "S-1-5-21-1-2-3-1001"};
  }
  static platform::DirectoryFacts users_may_write() {
    return {.exists = true, .is_directory = true, .owner_trusted = true, .others_can_change = true,
            .detail = "S-1-5-32-545"};
  }
  static platform::DirectoryFacts link() { return {.exists = true, .is_directory = true, .reparse_point = true, .detail = {}}; }

  std::map<std::string, platform::DirectoryFacts> entries;
  std::map<std::string, platform::DirectoryReaders> created;  // what create_protected made, with its readers
  std::vector<std::pair<std::string, std::string>> moved;     // (from, to)
  std::set<std::string> refuse_move;                          // move_aside fails for these
  std::set<std::string> refuse_create;                        // create_protected fails for these

  std::expected<platform::DirectoryFacts, platform::OsError> inspect(const std::string& path) override {
    const auto found = entries.find(path);
    return found == entries.end() ? platform::DirectoryFacts{} : found->second;
  }
  std::expected<void, platform::OsError> create_protected(const std::string& path,
                                                          platform::DirectoryReaders readers) override {
    if (refuse_create.contains(path) || entries.contains(path)) return std::unexpected(platform::OsError{5, "denied"});
    entries[path] = trusted();
    created[path] = readers;
    return {};
  }
  std::expected<void, platform::OsError> move_aside(const std::string& path, const std::string& new_path) override {
    if (refuse_move.contains(path) || entries.contains(new_path)) return std::unexpected(platform::OsError{5, "denied"});
    entries[new_path] = entries[path];
    entries.erase(path);
    moved.emplace_back(path, new_path);
    return {};
  }
};

}  // namespace yoxa::testing
