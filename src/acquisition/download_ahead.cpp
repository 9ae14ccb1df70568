#include "acquisition/download_ahead.h"

#include <filesystem>
#include <system_error>

#include "acquisition/download.h"
#include "acquisition/online_provider.h"
#include "acquisition/url_trust.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"
#include "platform/os_error.h"

namespace yoxa {

namespace {
namespace fs = std::filesystem;

bool exists(const std::string& path) {
  std::error_code error;
  return fs::exists(path_from_utf8(path), error);
}

std::string ready_path(const StagingPaths& paths) { return paths.final_path + std::string(kAheadSuffix); }
}  // namespace

AheadDownload::AheadDownload(PackageHost host, const AppDescriptor& row, std::string staging_base,
                             CancelToken run_cancel)
    : host_(std::move(host)), row_(row), staging_base_(std::move(staging_base)), run_cancel_(std::move(run_cancel)) {
  thread_ = std::thread([this] { work(); });
}

AheadDownload::~AheadDownload() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

void AheadDownload::work() {
  // One metadata attempt and no side effects: every refusal and retry is the fetch's own business.
  auto lookup = host_.fetch_metadata(row_.id);
  if (!lookup) {
    log::info(format("{}: no download ahead ({})", row_.display_name, lookup.error().full_text()));
    return;
  }
  const PackageMeta& meta = lookup->meta;
  const std::string version = meta.version.value_or("");
  if (!host_.version_is_file_safe(version) || !meta.destination || meta.destination->empty() ||
      expected_digest(meta).uncomputable) {
    return;
  }
  const std::string url = lookup->directory_url + "/" + *meta.destination;
  const std::vector<std::string> suffixes = host_.trusted_suffixes();
  if (!is_trusted_url(url, "the download URL", suffixes)) return;
  auto paths = host_.staging_paths(staging_base_, version, std::string(row_.format));
  if (!paths) return;
  // A staged file of that name is either this app's (the fetch re-verifies it) or the
  // installing app's own package, which must not be touched.
  if (exists(paths->final_path)) return;
  if (exists(ready_path(*paths)) || stop_.load()) return;

  log::info(format("{}: downloading ahead while the previous app installs", row_.display_name));
  const CancelToken stop = CancelToken::from([this] { return stop_.load() || run_cancel_.cancelled(); });
  const DownloadRequest request{
      .app_id = std::string(row_.id),
      .url = url,
      .temp_path = paths->temp_path,
      .final_path = ready_path(*paths),
      .trusted_suffixes = suffixes,
      .sink = discarding_event_sink(),
      .client = host_.http_client(),
      .build_request = host_.request_builder,
      .sleep = host_.sleep,
  };
  if (auto done = download_to_file(request, stop); !done) {
    log::info(format("{}: download ahead ended early ({}); the fetch takes over", row_.display_name,
                     done.error().full_text()));
  }
}

bool take_over_download_ahead(const AppDescriptor& row, const StagingPaths& paths) {
  const std::string ready = ready_path(paths);
  if (exists(paths.final_path) || !exists(ready)) return false;
  std::error_code error;
  fs::rename(path_from_utf8(ready), path_from_utf8(paths.final_path), error);
  if (error) {
    log::warn(format("{}: could not hand over the download ahead: {}", row.display_name,
                     platform::error_code_text(error)));
    return false;
  }
  log::info(format("{}: downloaded ahead as {}", row.display_name, paths.final_path));
  return true;
}

}  // namespace yoxa
