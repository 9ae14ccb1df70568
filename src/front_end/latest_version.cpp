#include "front_end/latest_version.h"

#include "acquisition/cdn.h"
#include "core/messages.h"
#include "core/text.h"
#include "core/log.h"

namespace yoxa {

LatestInfo lookup_latest_version(const AppDescriptor& app) {
  auto lookup = fetch_package_meta(app.id);
  if (!lookup) {
    if (lookup.error().message() == msg::kNotAvailableOnline) return {LatestInfo::Kind::NotAvailable, {}, {}};
    log::warn(format("{}: latest-version fetch failed: {}", app.id, lookup.error().full_text()));
    return {LatestInfo::Kind::Failed, {}, {}};
  }
  const PackageMeta& meta = lookup->meta;
  if (!meta.version) return {LatestInfo::Kind::NoVersion, {}, {}};
  if (meta.size) return {LatestInfo::Kind::FoundWithSize, meta.version, meta.size};
  return {LatestInfo::Kind::Found, meta.version, {}};
}

LatestInfo bundled_latest_version(const PackageProvider& provider, const AppDescriptor& app) {
  auto version = provider.bundled_version(app.id);
  if (!version) return {LatestInfo::Kind::NoVersion, {}, {}};
  auto size = provider.bundled_size(app.id);
  if (size) return {LatestInfo::Kind::FoundWithSize, std::move(version), size};
  return {LatestInfo::Kind::Found, std::move(version), {}};
}

std::optional<ReleaseNotes> lookup_release_notes(const AppDescriptor& app) {
  const auto directory = package_dir_url(app, arch_segment(app));
  if (!directory) return std::nullopt;
  const auto text = fetch_meta_text(*directory + "/release-notes.json");
  if (!text) return std::nullopt;
  auto notes = parse_release_notes(*text);
  if (!notes) return std::nullopt;
  return std::move(*notes);
}

}  // namespace yoxa
