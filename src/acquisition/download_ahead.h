#pragma once
// The next app's package, downloaded on a thread of its own while the current app installs.
#include <atomic>
#include <string>
#include <thread>

#include "acquisition/package_provider.h"
#include "acquisition/staging_paths.h"

namespace yoxa {

// A complete download-ahead waits under this suffix, which the clean-up after an install
// never deletes, until it is handed over under the staged package's own name.
inline constexpr std::string_view kAheadSuffix = ".ahead";

// Moves a complete download-ahead under the staged package's own name (`paths`); true when
// it did, so the fetch can report the transfer it took over as its own.
bool take_over_download_ahead(const AppDescriptor& row, const StagingPaths& paths);

// One app's package, fetched in the background into the staging directory: the partial
// file is the one the provider resumes, the complete file the one its fetch takes over. It sends no events and fails quietly: whatever it leaves, the
// provider's own fetch re-verifies, resumes or replaces, with its usual errors.
class AheadDownload final : public PackageDownloadAhead {
 public:
  AheadDownload(PackageHost host, const AppDescriptor& row, std::string staging_base, CancelToken run_cancel);
  // Stops the transfer, leaving a resumable partial file or a complete one.
  ~AheadDownload() override;
  AheadDownload(const AheadDownload&) = delete;
  AheadDownload& operator=(const AheadDownload&) = delete;

 private:
  void work();

  const PackageHost host_;
  const AppDescriptor& row_;
  const std::string staging_base_;
  const CancelToken run_cancel_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace yoxa
