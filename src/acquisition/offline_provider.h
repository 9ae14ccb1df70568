#pragma once
// What the two offline providers share: the manifest of app id -> PackageMeta, the
// operations that only read it, and the checks a staged offline package must pass.
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "acquisition/package_meta.h"
#include "acquisition/package_provider.h"

namespace yoxa {

using OfflineManifest = std::map<std::string, PackageMeta>;

// The manifest text as an object of app id -> PackageMeta; none when it does not
// parse or no member is usable. A malformed member is left out (with a warning) and
// the others are kept.
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
  // What an elevated or LocalSystem process asks of a staged offline package beyond its
  // size: the suite's own signer, then the manifest's checksum when it has one.
  virtual Result<void> check_privileged(const AppDescriptor& row, std::string_view kind, const std::string& path,
                                        const std::optional<std::string>& digest) const;
  // The staged package against its manifest entry: size, then SHA-256. `kind` is
  // "embedded" or "bundled". Without an entry or a digest the package's own
  // Authenticode signature is left to vouch for it.
  Result<void> check_staged(const AppDescriptor& row, std::string_view kind, const std::string& path) const;
  // The course both providers share once the package is found: cancel checkpoint,
  // staged path (version text "offline"), `copy` into it between the download and
  // verify stages, cancel checkpoint, the manifest checks. The copy is not
  // interrupted: a cancel is noticed once it is complete.
  FetchOutcome stage_copy(const AppDescriptor& row, const std::string& staging_base, std::string_view kind,
                          const EventSink& sink, const CancelToken& cancel,
                          const std::function<Result<void>(const std::string& final_path)>& copy) const;

  OfflineManifest manifest_;
  PackageHost host_;
};

}  // namespace yoxa
