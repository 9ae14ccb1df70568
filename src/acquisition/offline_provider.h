#pragma once
// What the two offline providers share: the manifest of app id -> PackageMeta, the
// operations that only read it, and the checks a staged offline package must pass.
#include <map>
#include <string>
#include <string_view>

#include "acquisition/package_meta.h"
#include "acquisition/package_provider.h"

namespace yoxa {

using OfflineManifest = std::map<std::string, PackageMeta>;

// The manifest text as an object of app id -> PackageMeta; none when it does not
// parse or has no members.
std::optional<OfflineManifest> parse_offline_manifest(std::string_view text);

class OfflineProvider : public PackageProvider {
 public:
  std::span<const AppDescriptor> app_list() const override;
  Result<PreparedDependencies> prepare_dependencies(const AppDescriptor& row, const std::string& installer_dir,
                                                    const EventSink& sink, const CancelToken& cancel) const override;
  std::optional<std::string> bundled_version(std::string_view app_id) const override;
  std::optional<std::uint64_t> bundled_size(std::string_view app_id) const override;
  Result<void> preflight() const override;

  const OfflineManifest& manifest() const { return manifest_; }

 protected:
  OfflineProvider(OfflineManifest manifest, PackageHost host)
      : manifest_(std::move(manifest)), host_(std::move(host)) {}

  const PackageMeta* entry(std::string_view app_id) const;
  // The staged package against its manifest entry: size, then SHA-256. `kind` is
  // "embedded" or "bundled". Without an entry or a digest the package's own
  // Authenticode signature is left to vouch for it.
  Result<void> check_staged(const AppDescriptor& row, std::string_view kind, const std::string& path) const;
  // Staged paths under the version text "offline".
  Result<std::string> staged_path(const AppDescriptor& row, const std::string& staging_base) const;
  void log_staged(const AppDescriptor& row, std::string_view kind, const std::string& path) const;

  OfflineManifest manifest_;
  PackageHost host_;
};

}  // namespace yoxa
