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

// One app's package, fetched in the background into the staging directory: the partial
// file is the one the provider resumes, the complete file is handed over when the
// download-ahead ends. It sends no events and fails quietly: whatever it leaves, the
// provider's own fetch re-verifies, resumes or replaces, with its usual errors.
class AheadDownload final : public PackageDownloadAhead {
 public:
  AheadDownload(PackageHost host, const AppDescriptor& row, std::string staging_base, CancelToken run_cancel);
  // Stops the transfer (leaving a resumable partial file) and hands a complete one over.
  ~AheadDownload() override;
  AheadDownload(const AheadDownload&) = delete;
  AheadDownload& operator=(const AheadDownload&) = delete;

 private:
  void work();
  void hand_over() const;

  const PackageHost host_;
  const AppDescriptor& row_;
  const std::string staging_base_;
  const CancelToken run_cancel_;
  std::atomic<bool> stop_{false};
  // Written by the thread, read after it has been joined.
  std::optional<StagingPaths> paths_;
  std::thread thread_;
};

}  // namespace yoxa
