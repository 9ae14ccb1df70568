#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "acquisition/package_meta.h"
#include "acquisition/package_provider.h"
#include "core/app_table.h"

namespace yoxa {

// The answer of one app's latest-version lookup.
struct LatestInfo {
  enum class Kind { FoundWithSize, Found, NoVersion, NotAvailable, Failed };
  Kind kind = Kind::Failed;
  std::optional<std::string> version;
  std::optional<std::uint64_t> size;
};

// Asks the CDN for the newest version of an app.
LatestInfo lookup_latest_version(const AppDescriptor& app);
// The version an offline build carries for the app, from its manifest.
LatestInfo bundled_latest_version(const PackageProvider& provider, const AppDescriptor& app);
// The app's release-notes.json; none on any failure (release notes are optional).
std::optional<ReleaseNotes> lookup_release_notes(const AppDescriptor& app);

}  // namespace yoxa
