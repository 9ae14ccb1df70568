#pragma once
#include <mutex>

#include "acquisition/offline_provider.h"
#include "config/offline_source.h"

namespace yoxa {

// Packages carried inside a file: the engine executable's own trailer or an external
// bundle. A package is copied out of its segment and checked against the manifest.
class SfxPackageProvider final : public OfflineProvider {
 public:
  // An unparseable or empty manifest leaves the provider working, every package then
  // unverified by checksum.
  SfxPackageProvider(SfxPayloads payloads, PackageHost host);

  FetchOutcome fetch(const AppDescriptor& row, const std::string& staging_base, const EventSink& sink,
                     const CancelToken& cancel) const override;

 private:
  Result<void> extract(const PayloadSegment& segment, const std::string& destination) const;
  // The engine's own payloads are covered by the engine's signature, checked once through
  // the held image; an external bundle's packages must each carry the suite's signature.
  Result<void> check_privileged(const AppDescriptor& row, std::string_view kind, const std::string& path,
                                const std::optional<std::string>& digest) const override;
  Result<void> image_signature() const;

  SfxPayloads payloads_;
  mutable std::once_flag image_checked_;
  mutable Result<void> image_verdict_;
};

}  // namespace yoxa
