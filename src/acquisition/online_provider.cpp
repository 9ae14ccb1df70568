#include "acquisition/online_provider.h"

#include <filesystem>
#include <system_error>

#include "acquisition/download_ahead.h"
#include "acquisition/online_dependencies.h"
#include "acquisition/url_trust.h"
#include "core/messages.h"
#include "core/places.h"
#include "core/text.h"
#include "core/log.h"

namespace yoxa {

namespace {

constexpr int kMetaAttempts = 3;
constexpr std::uint64_t kVerifyingPercent = 75;
constexpr std::uint64_t kDownloadStartPercent = 5;
constexpr std::uint64_t kDownloadDonePercent = 70;

bool is_message(const Error& error, const char* message) { return error.message() == message; }


bool exists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path_from_utf8(path), error);
}
}  // namespace

ExpectedDigest expected_digest(const PackageMeta& meta) {
  ExpectedDigest digest;
  digest.algorithm = meta.checksum_algorithm.value_or("sha256");
  // An empty checksum is a choice too: it does not fall back to sha256.
  const std::optional<std::string>& chosen = meta.checksum ? meta.checksum : meta.sha256;
  const bool declared = chosen && !chosen->empty();
  if (ascii_lower(digest.algorithm) == "sha256") {
    if (declared) digest.value = *chosen;
  } else {
    digest.uncomputable = declared;
  }
  return digest;
}

std::span<const AppDescriptor> OnlinePackageProvider::app_list() const { return app_table(); }

Result<PreparedDependencies> OnlinePackageProvider::prepare_dependencies(const AppDescriptor& row,
                                                                         const std::string& installer_dir,
                                                                         const EventSink& sink,
                                                                         const CancelToken& cancel) const {
  return prepare_online_dependencies(host_, row, installer_dir, sink, cancel);
}

std::optional<std::string> OnlinePackageProvider::bundled_version(std::string_view) const { return std::nullopt; }
std::optional<std::uint64_t> OnlinePackageProvider::bundled_size(std::string_view) const { return std::nullopt; }

Result<std::optional<MetaLookup>> OnlinePackageProvider::fetch_metadata_with_retries(
    const AppDescriptor& row, const CancelToken& cancel) const {
  for (int attempt = 0;; ++attempt) {
    if (cancel.cancelled()) return std::nullopt;
    auto lookup = host_.fetch_metadata(row.id);
    if (lookup) return std::move(*lookup);
    const Error& error = lookup.error();
    if (is_message(error, msg::kNotAvailableOnline)) {
      host_.note_not_found();
      return std::unexpected(error);
    }
    // A trust refusal will not change on a second asking.
    if (is_message(error, msg::kUntrustedSource)) return std::unexpected(error);
    log::error(format("Failed to fetch metadata for {}: {}", row.display_name, error.full_text()));
    if (attempt + 1 >= kMetaAttempts) return std::unexpected(error);
    host_.sleep(std::chrono::seconds(5 << attempt));
  }
}

Result<void> OnlinePackageProvider::verify_staged(const AppDescriptor& row, const std::string& path,
                                                  const std::string& expected, const EventSink& sink) const {
  sink.stage(row.id, InstallStage::Verify, 0, 0);
  sink.progress(row.id, kVerifyingPercent, "VERIFYING");
  return host_.verify_package(path, expected);
}

Result<void> OnlinePackageProvider::download(const AppDescriptor& row, const std::string& url,
                                             const StagingPaths& paths, const std::vector<std::string>& suffixes,
                                             const EventSink& sink, const CancelToken& cancel) const {
  const DownloadRequest request{
      .app_id = std::string(row.id),
      .url = url,
      .temp_path = paths.temp_path,
      .final_path = paths.final_path,
      .trusted_suffixes = suffixes,
      .sink = sink,
      .client = host_.http_client(),
      .build_request = host_.request_builder,
      .sleep = host_.sleep,
  };
  return download_to_file(request, cancel);
}

FetchOutcome OnlinePackageProvider::fetch(const AppDescriptor& row, const std::string& staging_base,
                                          const EventSink& sink, const CancelToken& cancel) const {
  if (!host_.staging_paths || !host_.verify_package) {
    return fail(msg::kInstallationFailed, "the package host has no staging or verification operations", place::kOnlineNoHost);
  }

  auto found = fetch_metadata_with_retries(row, cancel);
  if (!found) return std::unexpected(found.error());
  if (!*found) return std::nullopt;
  const MetaLookup& lookup = **found;
  const PackageMeta& meta = lookup.meta;

  // The version becomes part of a path below the staging directory, and that path
  // is deleted when it does not verify: refuse anything that could leave the file name.
  const std::string version = meta.version.value_or("");
  if (!host_.version_is_file_safe(version)) {
    return fail(msg::kVerificationFailed,
                format("{}: meta.json version '{}' cannot be part of a staged file name \u2014 refusing to download",
                       row.display_name, printable(version)),
                place::kOnlineUnsafeVersion);
  }

  if (!meta.destination || meta.destination->empty()) {
    return fail(msg::kNotAvailableOnline, format("meta.json for '{}' has no destination", row.display_name),
                place::kOnlineNoDestination);
  }
  const std::string url = lookup.directory_url + "/" + *meta.destination;

  const ExpectedDigest digest = expected_digest(meta);
  if (digest.uncomputable) {
    return fail(msg::kVerificationFailed,
                format("{}: meta.json declares checksum algorithm '{}', which this engine cannot compute \u2014 "
                       "refusing to install unverified bytes",
                       row.display_name, printable(digest.algorithm)),
                place::kOnlineUncomputable);
  }
  const std::string expected = digest.value.value_or("");

  const std::vector<std::string> suffixes = host_.trusted_suffixes();
  if (auto trusted = is_trusted_url(url, "the download URL", suffixes); !trusted) {
    return std::unexpected(trusted.error());
  }
  const std::optional<std::string>& alternate = meta.alternate_download_url;

  log::info(format("{}: version={}, url={}", row.display_name, version, url));

  auto paths = host_.staging_paths(staging_base, version, std::string(row.format));
  if (!paths) return std::unexpected(paths.error());

  if (take_over_download_ahead(row, *paths)) {
    // The transfer happened while the previous app installed: show it as done, so the
    // app's course is the one of any fresh download.
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(path_from_utf8(paths->final_path), error);
    if (!error) {
      sink.progress(row.id, kDownloadDonePercent, false, "DOWNLOADING",
                    Json{{"downloadedBytes", size}, {"totalBytes", size}});
    }
  }
  if (exists(paths->final_path)) {
    if (verify_staged(row, paths->final_path, expected, sink)) {
      log::info(format("{}: cached installer verified", row.display_name));
      return paths->final_path;
    }
    remove_temp_file(paths->final_path);
  }

  sink.progress(row.id, kDownloadStartPercent, "DOWNLOADING");
  if (auto primary = download(row, url, *paths, suffixes, sink, cancel); !primary) {
    if (cancel.cancelled()) return std::nullopt;
    if (!alternate || alternate->empty()) return std::unexpected(primary.error());
    if (auto trusted = is_trusted_url(*alternate, "meta.json's alternateDownloadUrl", suffixes); !trusted) {
      log::warn(format("{}: primary download failed ({}) and the alternateDownloadUrl is not usable",
                       row.display_name, primary.error().full_text()));
      return std::unexpected(trusted.error());
    }
    log::warn(format("{}: primary download failed ({}); trying the alternateDownloadUrl from meta.json: {}",
                     row.display_name, primary.error().full_text(), *alternate));
    remove_temp_file(paths->temp_path);
    if (auto second = download(row, *alternate, *paths, suffixes, sink, cancel); !second) {
      if (cancel.cancelled()) return std::nullopt;
      return std::unexpected(second.error());
    }
  }

  // A file that fails here stays: the next run re-verifies it and removes it then.
  if (auto verified = verify_staged(row, paths->final_path, expected, sink); !verified) {
    return std::unexpected(verified.error());
  }
  return paths->final_path;
}

std::unique_ptr<PackageDownloadAhead> OnlinePackageProvider::download_ahead(const AppDescriptor& row,
                                                                          const std::string& staging_base,
                                                                          const CancelToken& cancel) const {
  return std::make_unique<AheadDownload>(host_, row, staging_base, cancel);
}

Result<void> OnlinePackageProvider::preflight() const {
  const AppDescriptor* row = app_by_id("quill");
  if (!row) row = &app_table().front();
  auto lookup = host_.fetch_metadata(row->id);
  if (lookup) {
    log::info("Internet pre-flight check passed");
    return {};
  }
  const Error& error = lookup.error();
  if (is_message(error, msg::kNotAvailableOnline)) {
    log::warn(format("Internet pre-flight probe got a 404 for '{}' \u2014 the CDN host is reachable, so connectivity "
                     "is confirmed and the run continues. That app is simply not published for this "
                     "platform/arch/flavour and will report APP_NOT_AVAILABLE_ONLINE on its own; every other "
                     "selected app is unaffected. Detail: {}",
                     row->display_name, error.full_text()));
    return {};
  }
  if (is_message(error, msg::kUntrustedSource)) {
    log::warn(format("Internet pre-flight probe refused the configured CDN host as untrusted: {}. The                  "
                     "host may well be reachable \u2014 this build will not download from it. Check                  "
                     "cdn.domains and trustedDownloadDomains in installer_config.json.",
                     error.full_text()));
    return std::unexpected(Error::same(msg::kUntrustedSource, place::kOnlinePreflightUntrusted));
  }
  log::warn(format("Internet pre-flight check failed: {}", error.full_text()));
  return std::unexpected(Error::same(msg::kCouldNotContactServer, place::kOnlinePreflightOffline));
}

}  // namespace yoxa
