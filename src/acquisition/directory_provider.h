#pragma once
#include "acquisition/offline_provider.h"

namespace yoxa {

// Package files in a directory beside the engine, described by its packages.json.
class DirectoryAppProvider final : public OfflineProvider {
 public:
  // A missing, unreadable or empty packages.json leaves an empty manifest: packages
  // are then looked up under "{app id}.{format}" and not checked by checksum.
  DirectoryAppProvider(std::string dir, PackageHost host);

  FetchOutcome fetch(const AppDescriptor& row, const std::string& staging_base, const EventSink& sink,
                     const CancelToken& cancel) const override;

  const std::string& directory() const { return dir_; }

 private:
  std::string dir_;
};

// A manifest `destination` is a file name inside the packages directory, nothing more.
bool is_plain_file_name(std::string_view name);

}  // namespace yoxa
