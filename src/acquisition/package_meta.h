#pragma once
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/protocol_event.h"

namespace yoxa {

// A framework package or runtime installer an app needs, as meta.json lists it.
struct MetaDependency {
  std::optional<std::string> identity;
  std::optional<std::string> token;
  std::optional<std::string> arch;
  std::optional<std::string> kind;  // "chainedInstaller" marks a runtime installer
  std::optional<std::string> min_version;
  std::optional<std::string> version;
  std::optional<std::string> destination;
  std::optional<std::uint64_t> size;
  std::optional<std::string> checksum;
  std::optional<std::string> checksum_algorithm;
  std::optional<std::string> install_args;
};

// meta.json of a package directory, and an entry of an offline manifest.
// Empty `version`, `destination` and `alternate_download_url` are held as absent.
struct PackageMeta {
  std::optional<std::string> product;
  std::optional<std::string> version;
  std::optional<std::string> destination;
  std::optional<std::uint64_t> size;
  std::optional<std::string> checksum;
  std::optional<std::string> sha256;
  std::optional<std::string> checksum_algorithm;
  std::optional<std::string> alternate_download_url;
  std::optional<std::string> flavour;
  std::optional<std::string> os;
  std::optional<std::string> arch;
  std::optional<std::string> format;
  std::optional<std::string> release;
  std::optional<std::string> mode;
  std::vector<MetaDependency> dependencies;
};

struct ReleaseNotesEntry {
  std::string version;
  std::optional<std::string> date;
  std::vector<std::string> notes;
};

struct ReleaseNotes {
  std::optional<std::string> product;
  std::optional<std::string> version;
  std::vector<ReleaseNotesEntry> releases;
};

// One JSON value and nothing after it but white space; a member name that occurs
// twice in any object fails the whole document. The error is the parser's message.
std::expected<Json, std::string> parse_strict_json(std::string_view text);

std::expected<PackageMeta, std::string> package_meta_from_json(const Json& value);
std::expected<PackageMeta, std::string> parse_package_meta(std::string_view text);
std::expected<ReleaseNotes, std::string> parse_release_notes(std::string_view text);
// An object of app id -> PackageMeta (the offline manifests).
std::expected<std::map<std::string, PackageMeta>, std::string> parse_package_meta_map(std::string_view text);

}  // namespace yoxa
