#include "system/log_sources.h"

#include <algorithm>
#include <system_error>

#include "core/paths.h"
#include "core/text.h"

namespace yoxa {

namespace fs = std::filesystem;

namespace {

struct FolderKind {
  const char* prefix;
  const char* label;
  const char* description;
};

constexpr FolderKind kFolderKinds[] = {
    {"YoxaOfficeSilent-", "silent", "silent / MDM run"},
    {"YoxaOffice-", "legacy", "per-invocation launcher folder from an older build"},
};

struct TempRoot {
  std::string directory;
  const char* label_prefix;
  const char* description_suffix;
};

std::optional<std::string> utf8_name(const fs::path& path) { return path_to_utf8_checked(path.filename()); }

// Comparable form of a directory path: separators unified, no trailing one, ASCII case folded
// (Windows paths compare case-insensitively).
std::string comparable(const std::string& path) {
  std::string text = ascii_lower(path);
  std::ranges::replace(text, '/', '\\');
  while (text.size() > 1 && text.back() == '\\') text.pop_back();
  return text;
}

std::vector<TempRoot> temp_roots(const LogSourceContext& context) {
  std::vector<TempRoot> roots{{context.temp_directory, "", ""}};
  const auto system_root = context.environment("SystemRoot");
  if (system_root && !system_root->empty()) {
    std::string system_temp = path_to_utf8(path_from_utf8(*system_root) / "SystemTemp");
    if (comparable(system_temp) != comparable(context.temp_directory)) {
      roots.push_back({std::move(system_temp), "system", ", LocalSystem"});
    }
  }
  return roots;
}

void add_folders(const TempRoot& root, const FolderKind& kind, const std::vector<DirectoryEntry>& entries,
                 const std::string& staging, std::vector<LogSource>& sources) {
  std::vector<const DirectoryEntry*> matching;
  for (const DirectoryEntry& entry : entries) {
    if (!entry.is_directory || !entry.name || !starts_with(*entry.name, kind.prefix)) continue;
    if (comparable(path_to_utf8(entry.path)) == comparable(staging)) continue;
    matching.push_back(&entry);
  }
  // Newest first; a folder whose time cannot be read counts as the oldest.
  std::ranges::stable_sort(matching, [](const DirectoryEntry* a, const DirectoryEntry* b) {
    return a->last_write.value_or(fs::file_time_type::min()) > b->last_write.value_or(fs::file_time_type::min());
  });
  if (matching.size() > kMaxFoldersPerKind) matching.resize(kMaxFoldersPerKind);
  for (std::size_t n = 0; n < matching.size(); ++n) {
    std::string label = std::string(root.label_prefix) + kind.label;
    if (n > 0) label += std::to_string(n);
    sources.push_back({std::move(label), path_to_utf8(matching[n]->path),
                       format("{}{} ({})", kind.description, root.description_suffix, *matching[n]->name)});
  }
}

}  // namespace

DirectoryListing list_directory_entries(const std::string& directory) {
  const fs::path path = path_from_utf8(directory);
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::not_found) return std::unexpected(ListingError{true, error.message()});
  if (error) return std::unexpected(ListingError{false, error.message()});
  if (!fs::is_directory(status)) return std::unexpected(ListingError{false, "not a directory"});
  fs::directory_iterator it(path, error);
  if (error) return std::unexpected(ListingError{false, error.message()});
  std::vector<DirectoryEntry> entries;
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) break;
    DirectoryEntry entry;
    entry.path = it->path();
    entry.name = utf8_name(entry.path);
    std::error_code ignored;
    entry.is_directory = it->is_directory(ignored);
    entry.is_file = it->is_regular_file(ignored);
    const auto written = it->last_write_time(ignored);
    if (!ignored) entry.last_write = written;
    entries.push_back(std::move(entry));
  }
  if (error) return std::unexpected(ListingError{false, error.message()});
  std::ranges::sort(entries, {}, &DirectoryEntry::path);
  return entries;
}

std::vector<LogSource> log_sources(const LogSourceContext& context) {
  std::vector<LogSource> sources{
      {"user", path_to_utf8(path_from_utf8(config_base_dir(false, context.environment)) / "logs"),
       "per-user install/uninstall worker (default scope)"},
      {"machine", path_to_utf8(path_from_utf8(config_base_dir(true, context.environment)) / "logs"),
       "all-users install/uninstall worker (readable only when elevated)"},
      {"launcher", path_to_utf8(path_from_utf8(context.temp_directory) / "YoxaOffice"),
       "non-elevated launcher and read-only CLI commands"},
  };
  for (const TempRoot& root : temp_roots(context)) {
    const auto listed = context.list_directory(root.directory);
    if (!listed) continue;  // an unlistable root contributes nothing
    for (const FolderKind& kind : kFolderKinds) add_folders(root, kind, *listed, context.staging_folder, sources);
  }
  return sources;
}

}  // namespace yoxa
