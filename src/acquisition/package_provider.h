#pragma once
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
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
  // Which of the given framework packages the current user still lacks.
  MissingFrameworkDetector missing_frameworks = [](const std::vector<FrameworkRequest>& requests) {
    return detect_missing_frameworks(requests);
  };
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
};

}  // namespace yoxa
