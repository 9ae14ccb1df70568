#pragma once
#include <optional>
#include <string>
#include <vector>

#include "acquisition/package_meta.h"
#include "acquisition/package_provider.h"

namespace yoxa {

// The digest meta.json asks the package to match.
struct ExpectedDigest {
  std::string algorithm;             // checksumAlgorithm, "sha256" when absent
  std::optional<std::string> value;  // none when there is nothing usable to compare
  // A digest value is declared under an algorithm this engine cannot compute.
  bool uncomputable = false;
};
ExpectedDigest expected_digest(const PackageMeta& meta);

// Packages from the CDN: meta.json with retries, a reused staged file when it still
// verifies, else a download (once more from the alternate URL), then verification.
// Holds nothing but its host.
class OnlinePackageProvider final : public PackageProvider {
 public:
  explicit OnlinePackageProvider(PackageHost host) : host_(std::move(host)) {}

  std::span<const AppDescriptor> app_list() const override;
  FetchOutcome fetch(const AppDescriptor& row, const std::string& staging_base, const EventSink& sink,
                     const CancelToken& cancel) const override;
  // The frameworks and runtime installers meta.json lists that this machine lacks.
  Result<PreparedDependencies> prepare_dependencies(const AppDescriptor& row, const std::string& installer_dir,
                                                    const EventSink& sink, const CancelToken& cancel) const override;
  std::optional<std::string> bundled_version(std::string_view app_id) const override;
  std::optional<std::uint64_t> bundled_size(std::string_view app_id) const override;
  // One metadata lookup without retries: can this machine reach the CDN at all?
  Result<void> preflight() const override;

 private:
  // none when the run was cancelled before an attempt.
  Result<std::optional<MetaLookup>> fetch_metadata_with_retries(const AppDescriptor& row,
                                                                const CancelToken& cancel) const;
  Result<void> verify_staged(const AppDescriptor& row, const std::string& path, const std::string& expected,
                             const EventSink& sink) const;
  Result<void> download(const AppDescriptor& row, const std::string& url, const StagingPaths& paths,
                        const std::vector<std::string>& suffixes, const EventSink& sink,
                        const CancelToken& cancel) const;

  PackageHost host_;
};

}  // namespace yoxa
