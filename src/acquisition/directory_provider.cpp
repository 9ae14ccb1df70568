#include "acquisition/directory_provider.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "core/log.h"
#include "core/messages.h"
#include "core/paths.h"
#include "core/places.h"
#include "core/text.h"

namespace yoxa {

namespace {
constexpr std::uintmax_t kMaxManifestBytes = 16u * 1024 * 1024;

std::optional<OfflineManifest> read_manifest(const std::filesystem::path& file) {
  std::error_code error;
  const auto size = std::filesystem::file_size(file, error);
  if (error || size > kMaxManifestBytes) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (!in && !in.eof()) return std::nullopt;
  return parse_offline_manifest(text.str());
}

OfflineManifest manifest_in(const std::string& dir) {
  if (auto manifest = read_manifest(path_from_utf8(dir) / "packages.json")) return std::move(*manifest);
  log::warn(format("DirectoryAppProvider: packages.json missing/empty at {}", dir));
  return {};
}
}  // namespace

bool is_plain_file_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of("/\\:") == std::string_view::npos;
}

DirectoryAppProvider::DirectoryAppProvider(std::string dir, PackageHost host)
    : OfflineProvider(manifest_in(dir), std::move(host)), dir_(std::move(dir)) {}

FetchOutcome DirectoryAppProvider::fetch(const AppDescriptor& row, const std::string& staging_base,
                                         const EventSink& sink, const CancelToken& cancel) const {
  const PackageMeta* meta = entry(row.id);
  const std::string name = meta && meta->destination && !meta->destination->empty()
                               ? *meta->destination
                               : format("{}.{}", row.id, row.format);
  const std::string source = path_to_utf8(path_from_utf8(dir_) / path_from_utf8(name));
  // The manifest is outside input: a name that climbs out of the directory is refused
  // as if the package were missing.
  if (!is_plain_file_name(name)) {
    return fail(format("bundled package not found: {}", source),
                format("packages.json names '{}' for {}, which is not a file name in {}", printable(name), row.id, dir_),
                place::kOfflineUnsafeName);
  }
  std::error_code error;
  if (!std::filesystem::is_regular_file(path_from_utf8(source), error)) {
    return std::unexpected(Error::same(format("bundled package not found: {}", source), place::kOfflineNotFound));
  }
  return stage_copy(row, staging_base, "bundled", sink, cancel, [&](const std::string& final_path) -> Result<void> {
    std::filesystem::copy_file(path_from_utf8(source), path_from_utf8(final_path),
                               std::filesystem::copy_options::overwrite_existing, error);
    if (error) return fail(msg::kStageBundledFailed, error.message(), place::kOfflineStage);
    return {};
  });
}

}  // namespace yoxa
