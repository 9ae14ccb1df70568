#include "acquisition/offline_provider.h"

#include <filesystem>
#include <system_error>

#include "acquisition/bundled_dependencies.h"
#include "acquisition/online_provider.h"
#include "core/log.h"
#include "core/messages.h"
#include "core/paths.h"
#include "core/places.h"
#include "core/text.h"

namespace yoxa {

std::optional<OfflineManifest> parse_offline_manifest(std::string_view text) {
  const auto value = parse_strict_json(text);
  if (!value || !value->is_object()) return std::nullopt;
  // Entry by entry: one malformed app must not take every other app's checksum with it.
  OfflineManifest manifest;
  for (const auto& [id, element] : value->items()) {
    auto meta = package_meta_from_json(element);
    if (!meta) {
      log::warn(format("offline manifest entry {} is malformed and ignored: {}", printable(id), meta.error()));
      continue;
    }
    manifest.emplace(id, std::move(*meta));
  }
  if (manifest.empty()) return std::nullopt;
  return manifest;
}

std::span<const AppDescriptor> OfflineProvider::app_list() const { return app_table(); }

Result<PreparedDependencies> OfflineProvider::prepare_dependencies(const AppDescriptor& row,
                                                                   const std::string& installer_dir,
                                                                   const EventSink&, const CancelToken&) const {
  return prepare_bundled_dependencies(row, installer_dir);
}

const PackageMeta* OfflineProvider::entry(std::string_view app_id) const {
  const auto found = manifest_.find(std::string(app_id));
  return found == manifest_.end() ? nullptr : &found->second;
}

std::optional<std::string> OfflineProvider::bundled_version(std::string_view app_id) const {
  const PackageMeta* meta = entry(app_id);
  if (!meta || !meta->version || meta->version->empty()) return std::nullopt;
  return meta->version;
}

std::optional<std::uint64_t> OfflineProvider::bundled_size(std::string_view app_id) const {
  const PackageMeta* meta = entry(app_id);
  return meta ? meta->size : std::nullopt;
}

Result<void> OfflineProvider::preflight() const { return {}; }

FetchOutcome OfflineProvider::stage_copy(const AppDescriptor& row, const std::string& staging_base,
                                         std::string_view kind, const EventSink& sink, const CancelToken& cancel,
                                         const std::function<Result<void>(const std::string&)>& copy) const {
  constexpr std::uint64_t kDownloadingPercent = 20;
  constexpr std::uint64_t kVerifyingPercent = 75;
  if (cancel.cancelled()) return std::nullopt;
  auto paths = host_.staging_paths(staging_base, "offline", std::string(row.format));
  if (!paths) return std::unexpected(paths.error());
  const std::string& final_path = paths->final_path;

  sink.stage(row.id, InstallStage::Download, 0, 0);
  sink.progress(row.id, kDownloadingPercent, "DOWNLOADING");
  if (auto copied = copy(final_path); !copied) return std::unexpected(copied.error());
  if (cancel.cancelled()) return std::nullopt;

  sink.stage(row.id, InstallStage::Verify, 0, 0);
  sink.progress(row.id, kVerifyingPercent, "VERIFYING");
  if (auto checked = check_staged(row, kind, final_path); !checked) return std::unexpected(checked.error());
  log::info(format("{}: staged {} package -> {}", row.display_name, kind, final_path));
  return final_path;
}

Result<void> OfflineProvider::check_staged(const AppDescriptor& row, std::string_view kind,
                                           const std::string& path) const {
  const PackageMeta* meta = entry(row.id);
  const auto unverified = [&] {
    log::warn(format("{}: no {} SHA-256; relying on the installer's Authenticode", row.display_name, kind));
  };
  // Packages beside the engine or in a bundle it names may have been put there by anyone:
  // a privileged run does not rely on a checksum from the same place, nor on none.
  const bool privileged = host_.privileged();
  if (!meta) {
    if (privileged) return check_privileged(row, kind, path, std::nullopt);
    unverified();
    return {};
  }
  const ExpectedDigest digest = expected_digest(*meta);
  if (digest.uncomputable) {
    return fail(msg::kVerificationFailed,
                format("{}: the bundled manifest declares checksum algorithm '{}', which this engine cannot compute "
                       "\u2014 refusing to install a payload it cannot verify",
                       row.display_name, printable(digest.algorithm)),
                place::kOfflineUncomputable);
  }
  // A package cut short (or padded) is refused before its bytes are hashed, and even
  // when the manifest carries no digest at all.
  if (meta->size) {
    std::error_code error;
    const auto actual = std::filesystem::file_size(path_from_utf8(path), error);
    if (error || actual != *meta->size) {
      return fail(msg::kVerificationFailed,
                  format("{}: the {} package is {} bytes, the manifest says {}", row.display_name, kind,
                         error ? std::string("unreadable") : std::to_string(actual), *meta->size),
                  place::kOfflineSizeMismatch);
    }
  }
  if (privileged) return check_privileged(row, kind, path, digest.value);
  if (!digest.value) {
    unverified();
    return {};
  }
  return host_.verify_checksum(path, *digest.value);
}

Result<void> OfflineProvider::check_privileged(const AppDescriptor&, std::string_view, const std::string& path,
                                               const std::optional<std::string>& digest) const {
  return host_.verify_signed(path, digest);
}

}  // namespace yoxa
