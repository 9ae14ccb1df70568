#pragma once
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "system/log_locations.h"

namespace yoxa {

// One folder that log export collects from: `label` prefixes the collected file names.
struct LogSource {
  std::string label;
  std::string directory;
  std::string description;
};

// One entry of a directory listing.
struct DirectoryEntry {
  std::filesystem::path path;
  std::optional<std::string> name;  // UTF-8; none when the name is not valid Unicode
  bool is_directory = false;
  bool is_file = false;
  std::optional<std::filesystem::file_time_type> last_write;
};

struct ListingError {
  bool missing = false;  // the directory does not exist (otherwise it cannot be read)
  std::string text;
};
using DirectoryListing = std::expected<std::vector<DirectoryEntry>, ListingError>;
using DirectoryLister = std::function<DirectoryListing(const std::string& directory)>;

// Lists a directory without following into subdirectories; entries come sorted by path.
DirectoryListing list_directory_entries(const std::string& directory);

// Where the sources are looked for.
struct LogSourceContext {
  EnvironmentLookup environment;
  std::string temp_directory;
  std::string staging_folder;  // this export's own folder, never a source
  DirectoryLister list_directory = list_directory_entries;
};

// The per-invocation folders are taken newest first, at most this many per root and kind.
inline constexpr std::size_t kMaxFoldersPerKind = 10;

// The worker, launcher, silent and legacy log folders, in collection order.
std::vector<LogSource> log_sources(const LogSourceContext& context);

}  // namespace yoxa
