#pragma once
// Where an offline build keeps its packages. Detection decides, once per question,
// between payloads inside a file (an external bundle named by bundle_source.txt, or
// the trailer of the engine's own executable), a packages directory beside the
// engine, and nothing (online). Every install-source decision and the offline mode
// derive from find_offline_source, so they cannot disagree.
#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/trusted_dir.h"
#include "core/bundle_layout.h"

namespace yoxa {

// Payloads inside a file: the external bundle (7 segments, packages from index 2) or
// the engine executable (5 segments, packages from index 0).
struct SfxPayloads {
  std::string source_path;
  std::vector<PayloadSegment> segments;
  std::size_t base_index = 0;
  bool external = false;
  std::string manifest_text;  // the manifest segment's bytes, not yet parsed
  // The engine's own image, held open denying writes since its trailer was read, so that
  // the payloads read later are the bytes its signature covers. Null for an external bundle.
  std::shared_ptr<std::FILE> held_image;
};

struct PackagesDirectory {
  std::string path;
};

using OfflineSource = std::variant<SfxPayloads, PackagesDirectory>;

// A manifest segment larger than this is not read: the manifest is a few lines per app.
inline constexpr std::uint64_t kMaxManifestBytes = 16u * 1024 * 1024;

std::optional<SfxPayloads> find_sfx_payloads(const std::string& exe_path);
std::optional<std::string> find_packages_dir(const std::string& exe_path);
// Payloads first, then a packages directory; detected afresh on every call.
std::optional<OfflineSource> find_offline_source(const std::string& exe_path);
std::optional<OfflineSource> find_offline_source();

// Whether an offline source folder (a packages directory, the folder of a bundle named by
// bundle_source.txt) may be used. An elevated process installs from it for all users,
// so the folder must be one nobody but administrators can change (no link, trusted
// owner, no other writer); one that is not is ignored with a log line.
bool offline_folder_usable(const std::string& folder, bool elevated, platform::DirectoryTrust& trust);

// Whether this process is an offline one; detected on first use and then kept.
bool offline_mode();

}  // namespace yoxa
