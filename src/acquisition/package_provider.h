#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "acquisition/cdn.h"
#include "acquisition/download.h"
#include "acquisition/http_request.h"
#include "config/installer_config.h"
#include "acquisition/source_probe.h"
#include "core/app_table.h"
#include "core/cancel_token.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/paths.h"
#include "core/pause.h"
#include "acquisition/staging_paths.h"
#include "acquisition/verification.h"
#include "platform/http.h"
#include "platform/security.h"
#include "system/framework_detection.h"

namespace yoxa {

// A framework package an MSIX app needs, staged and ready to hand to the installer.
struct FrameworkPackage {
  std::string path;
  std::string package_name;
  std::string min_version;  // empty: any version
};

// A runtime installer that must run before the app's own package.
struct ChainedInstaller {
  std::string path;
  std::string arguments;
};

struct PreparedDependencies {
  std::vector<FrameworkPackage> frameworks;
  std::vector<ChainedInstaller> chained_installers;
};

// The path of the staged, verified package; none when the run was cancelled.
using FetchOutcome = Result<std::optional<std::string>>;

// The platform operations a package provider works through. Tests replace any of them.
struct PackageHost {
  using VerifyFn = std::function<Result<void>(const std::string& path, const std::string& expected_digest)>;

  // (staging base, version text, format text) -> paths in "{base}/installer", creating that directory.
  std::function<Result<StagingPaths>(const std::string& base, const std::string& version, const std::string& format)>
      staging_paths = [](const std::string& base, const std::string& version, const std::string& format) {
        return yoxa::staging_paths(base, version, format);
      };
  // Signature, then checksum; an empty expected digest matches nothing.
  VerifyFn verify_package = [](const std::string& path, const std::string& expected) {
    return yoxa::verify_package(path, expected);
  };
  // Checksum alone (offline packages, frameworks).
  VerifyFn verify_checksum = [](const std::string& path, const std::string& expected) {
    return yoxa::verify_checksum(path, expected);
  };
  // The fixed signer, then the checksum only when one is given (offline packages, elevated).
  std::function<Result<void>(const std::string& path, const std::optional<std::string>& expected_digest)>
      verify_signed = [](const std::string& path, const std::optional<std::string>& expected) {
        return yoxa::verify_signed_package(path, expected);
      };
  // The fixed signer of a file held open, through that handle (the engine's own image).
  std::function<Result<void>(std::FILE* file, const std::string& path)> verify_image =
      [](std::FILE* file, const std::string& path) { return yoxa::verify_open_file_signer(file, path); };
  std::function<bool(std::string_view version)> version_is_file_safe = is_safe_version_for_file_name;
  std::function<Result<MetaLookup>(std::string_view app_id)> fetch_metadata = [](std::string_view app_id) {
    return fetch_package_meta(app_id);
  };
  // Read afresh on every use, as the configuration always is.
  std::function<std::vector<std::string>()> trusted_suffixes = [] {
    return load_installer_config().trusted_download_domains;
  };
  std::function<void()> note_not_found = [] { yoxa::note_not_found(); };
  RequestBuilder request_builder = new_request;
  std::function<platform::HttpClient&()> http_client = []() -> platform::HttpClient& {
    return platform::system_http_client();
  };
  Pause sleep = real_pause;
  // An elevated or LocalSystem process: whatever it installs or runs must be vouched for
  // by a signature or a checksum from a trusted source, never taken as found.
  std::function<bool()> privileged = [] { return platform::is_elevated() || platform::is_local_system(); };
  // Which of the given framework packages the current user still lacks.
  MissingFrameworkDetector missing_frameworks = [](const std::vector<FrameworkRequest>& requests) {
    return detect_missing_frameworks(requests);
  };
};

// A package download running ahead of the pipeline. Ending it (destroying it) stops the
// transfer and leaves what it got where the provider's fetch for that app finds it.
class PackageDownloadAhead {
 public:
  virtual ~PackageDownloadAhead() = default;
};

// The source of staged, verified packages the install pipeline draws on: online from the
// CDN, or offline from a bundle or a packages directory. Six operations, each asked of
// whichever source the run chose at start-up.
class PackageProvider {
 public:
  virtual ~PackageProvider() = default;
  virtual std::span<const AppDescriptor> app_list() const = 0;
  virtual FetchOutcome fetch(const AppDescriptor& row, const std::string& staging_base, const EventSink& sink,
                             const CancelToken& cancel) const = 0;
  virtual Result<PreparedDependencies> prepare_dependencies(const AppDescriptor& row, const std::string& installer_dir,
                                                            const EventSink& sink,
                                                            const CancelToken& cancel) const = 0;
  virtual std::optional<std::string> bundled_version(std::string_view app_id) const = 0;
  virtual std::optional<std::uint64_t> bundled_size(std::string_view app_id) const = 0;
  virtual Result<void> preflight() const = 0;
  // Starts downloading the row's package in the background, for a later `fetch` to find;
  // none when the source has nothing to download (the packages are already local).
  virtual std::unique_ptr<PackageDownloadAhead> download_ahead(const AppDescriptor&, const std::string&,
                                                               const CancelToken&) const {
    return nullptr;
  }
};

}  // namespace yoxa
