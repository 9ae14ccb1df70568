#include "acquisition/online_dependencies.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <optional>
#include <system_error>

#include "acquisition/staging_paths.h"
#include "core/log.h"
#include "core/messages.h"
#include "core/places.h"
#include "core/text.h"
#include "core/unicode_case.h"
#include "platform/os_error.h"
#include "system/framework_detection.h"

namespace yoxa {

namespace {

namespace fs = std::filesystem;

// Dependencies get a directory of their own below the staging directory, so that no
// destination can name the staged package or one of its ".tmp", ".part" or ".ahead" files.
constexpr const char* kDependencyDirectory = "dependencies";

// The names a record's download occupies, compared the way Windows compares file names.
std::array<std::string, 2> occupied_names(const std::string& destination) {
  return {unicode_upper(destination), unicode_upper(destination + ".part")};
}

// Why a record cannot be used, or none. A destination becomes a file name in the staging
// directory: it may not point anywhere else, nor share a name with an earlier record's files,
// which would then replace each other.
std::optional<std::string> unusable_because(const MetaDependency& record,
                                            const std::vector<const MetaDependency*>& kept) {
  if (!record.identity || record.identity->empty() || !record.destination || record.destination->empty()) {
    return "has no identity/destination";
  }
  const std::string& destination = *record.destination;
  if (!is_safe_dependency_file_name(destination)) {
    return format("({}) is unusable: its destination '{}' is not a plain file name", *record.identity,
                  printable(destination));
  }
  const auto mine = occupied_names(destination);
  for (const MetaDependency* earlier : kept) {
    const auto theirs = occupied_names(*earlier->destination);
    const bool clash = mine[0] == theirs[0] || mine[0] == theirs[1] || mine[1] == theirs[0];
    if (clash) {
      return format("({}) is unusable: its destination '{}' clashes with the file of {} ('{}')", *record.identity,
                    printable(destination), *earlier->identity, printable(*earlier->destination));
    }
  }
  return std::nullopt;
}

// Only a SHA-256 value can be compared; any other algorithm leaves the file unchecked.
std::optional<std::string> expected_checksum(const MetaDependency& record) {
  const bool sha256 = !record.checksum_algorithm || ascii_lower(*record.checksum_algorithm) == "sha256";
  if (!sha256 || !record.checksum || record.checksum->empty()) return std::nullopt;
  return *record.checksum;
}

bool file_exists(const std::string& path) {
  std::error_code error;
  return fs::exists(path_from_utf8(path), error);
}

// One needed dependency: a verified staged copy, else a fresh download. The file, or none.
std::optional<std::string> obtain(const PackageHost& host, const AppDescriptor& app, const MetaDependency& record,
                                  const std::string& directory_url, const fs::path& staging,
                                  const std::vector<std::string>& suffixes, const EventSink& sink,
                                  const CancelToken& cancel, bool privileged) {
  const std::string& identity = *record.identity;
  const std::string url = directory_url + "/" + *record.destination;
  const std::string file = path_to_utf8(staging / path_from_utf8(*record.destination));
  const std::optional<std::string> expected = expected_checksum(record);
  // What an elevated process installs or runs must be verifiable: "as downloaded" is not enough.
  if (!expected && privileged) {
    log::warn(format("{}: meta.json records no usable checksum; an elevated process refuses a dependency it cannot "
                     "verify, so it is left out",
                     identity));
    return std::nullopt;
  }

  if (file_exists(file)) {
    if (expected && host.verify_checksum(file, *expected)) {
      log::info(format("{}: reusing verified framework already staged at {}", identity, file));
      return file;
    }
    remove_temp_file(file);
  }

  log::info(format("{}: downloading framework from {}", identity, url));
  const DownloadRequest request{
      .app_id = std::string(app.id),
      .url = url,
      .temp_path = file + ".part",
      .final_path = file,
      .trusted_suffixes = suffixes,
      .sink = sink,
      .client = host.http_client(),
      .build_request = host.request_builder,
      .sleep = host.sleep,
  };
  if (auto downloaded = download_to_file(request, cancel); !downloaded) {
    log::warn(format("{}: framework download failed ({}); continuing without it", identity,
                     downloaded.error().full_text()));
    remove_temp_file(file);
    return std::nullopt;
  }
  if (!expected) {
    log::warn(format("{}: meta.json records no usable checksum; using the file as downloaded", identity));
    return file;
  }
  if (auto verified = host.verify_checksum(file, *expected); !verified) {
    log::warn(format("{}: framework checksum mismatch ({}); discarding it", identity, verified.error().full_text()));
    remove_temp_file(file);
    return std::nullopt;
  }
  return file;
}

}  // namespace

bool is_safe_dependency_file_name(std::string_view name) {
  return !name.empty() && name != "." && is_safe_version_for_file_name(name);
}

Result<PreparedDependencies> prepare_online_dependencies(const PackageHost& host, const AppDescriptor& app,
                                                         const std::string& staging_dir, const EventSink& sink,
                                                         const CancelToken& cancel) {
  PreparedDependencies prepared;
  if (app.installer_kind != InstallerKind::Msix) return prepared;

  auto lookup = host.fetch_metadata(app.id);
  if (!lookup) {
    log::warn(format("{}: could not fetch meta.json for framework dependencies ({}); installing without them",
                     app.display_name, lookup.error().full_text()));
    return prepared;
  }

  std::vector<const MetaDependency*> records;
  for (const MetaDependency& record : lookup->meta.dependencies) {
    if (auto reason = unusable_because(record, records)) {
      log::warn(format("{}: meta.json dependency record {}; skipping", app.id, *reason));
    } else if (!is_literal_package_name(*record.identity)) {
      log::warn(format("{}: meta.json dependency identity '{}' holds wildcard characters; skipping", app.id,
                       printable(*record.identity)));
    } else {
      records.push_back(&record);
    }
  }
  if (records.empty()) return prepared;

  std::vector<FrameworkRequest> requests;
  for (const MetaDependency* record : records) {
    requests.push_back({*record->identity, record->min_version.value_or("")});
  }
  const std::vector<std::string> needed = host.missing_frameworks(requests);

  const fs::path staging = path_from_utf8(staging_dir) / kDependencyDirectory;
  std::error_code error;
  fs::create_directories(staging, error);
  if (error) return fail(msg::kFilesystemError, platform::error_code_text(error), place::kFrameworkStaging);

  const std::vector<std::string> suffixes = host.trusted_suffixes();
  const bool privileged = host.privileged();
  for (const MetaDependency* record : records) {
    const std::string& identity = *record->identity;
    if (std::ranges::find(needed, identity) == needed.end()) {
      log::info(format("{}: already installed at or above the required version; not downloading", identity));
      continue;
    }
    if (cancel.cancelled()) {
      log::info("Framework download cancelled by user");
      break;
    }
    auto file = obtain(host, app, *record, lookup->directory_url, staging, suffixes, sink, cancel, privileged);
    if (!file) continue;
    if (record->kind && ascii_lower(*record->kind) == "chainedinstaller") {
      prepared.chained_installers.push_back({*file, record->install_args.value_or("")});
    } else {
      prepared.frameworks.push_back({*file, identity, record->min_version.value_or("")});
    }
  }

  const std::size_t count = prepared.frameworks.size() + prepared.chained_installers.size();
  if (count > 0) {
    log::info(format("{}: prepared {} framework package(s) from the CDN", app.display_name, count));
  }
  return prepared;
}

}  // namespace yoxa
