#include "config/offline_source.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>

#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"
#include "platform/security.h"
#include "platform/held_file.h"
#include "platform/system.h"
#include "system/trusted_directory.h"

namespace yoxa {

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File open_for_reading(const std::string& path) { return File(platform::open_file(path, "rb"), &std::fclose); }

std::optional<std::string> read_at(std::FILE* file, std::uint64_t offset, std::size_t length) {
  if (!platform::seek_file(file, offset)) return std::nullopt;
  std::string bytes(length, '\0');
  if (length > 0 && std::fread(bytes.data(), 1, length, file) != length) return std::nullopt;
  return bytes;
}

ReadAt reader(std::FILE* file) {
  return [file](std::uint64_t offset, std::size_t length) { return read_at(file, offset, length); };
}

std::optional<std::string> read_manifest(std::FILE* file, const PayloadSegment& segment) {
  if (segment.length > kMaxManifestBytes) {
    log::warn(format("offline manifest segment of {} bytes is larger than any manifest; ignoring it", segment.length));
    return std::nullopt;
  }
  return read_at(file, segment.offset, static_cast<std::size_t>(segment.length));
}

// bundle_source.txt beside the executable, trimmed; none when absent, unreadable or empty.
std::optional<std::string> bundle_source(const std::filesystem::path& exe_dir) {
  const File file = open_for_reading(path_to_utf8(exe_dir / "bundle_source.txt"));
  if (!file) return std::nullopt;
  constexpr std::size_t kLimit = 64 * 1024;  // a path, not a document
  std::string text(kLimit, '\0');
  text.resize(std::fread(text.data(), 1, kLimit, file.get()));
  if (std::ferror(file.get())) return std::nullopt;
  const std::string_view trimmed = trim(text);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

bool overlapping(const std::vector<PayloadSegment>& segments, const std::string& path) {
  if (segments_disjoint(segments)) return false;
  log::warn(format("payload table in {} claims overlapping segments; ignoring it", path));
  return true;
}

std::optional<SfxPayloads> external_bundle(const std::string& bundle_path) {
  const File file = open_for_reading(bundle_path);
  if (!file) return std::nullopt;
  const auto size = platform::open_file_size(file.get());
  if (!size) return std::nullopt;
  const ReadAt read = reader(file.get());
  auto segments = find_footer(read, search_end(read, *size));
  if (!segments || segments->size() != kBundleSegments) return std::nullopt;
  const auto size_again = platform::open_file_size(file.get());
  if (!size_again || !segments_inside(*segments, *size_again)) {
    log::warn(format("bundle footer in {} claims segments outside the file; ignoring it", bundle_path));
    return std::nullopt;
  }
  if (overlapping(*segments, bundle_path)) return std::nullopt;
  auto manifest = read_manifest(file.get(), (*segments)[6]);
  if (!manifest) return std::nullopt;
  log::info(format("SfxPackageProvider: reading offline packages from bundle {}", bundle_path));
  return SfxPayloads{bundle_path, std::move(*segments), 2, true, std::move(*manifest), nullptr};
}

std::optional<SfxPayloads> embedded_trailer(const std::string& exe_path) {
  const std::shared_ptr<std::FILE> file(platform::open_file_denying_writes(exe_path), [](std::FILE* open) {
    if (open) std::fclose(open);
  });
  if (!file) return std::nullopt;
  const auto size = platform::open_file_size(file.get());
  if (!size || *size < kTrailerSize) return std::nullopt;
  const ReadAt read = reader(file.get());
  auto segments = find_trailer(read, search_end(read, *size));
  if (!segments) return std::nullopt;
  if (!segments_inside(*segments, *size)) {
    log::warn(format("SFX trailer in {} claims segments outside the file ({} bytes); ignoring it", exe_path, *size));
    return std::nullopt;
  }
  if (overlapping(*segments, exe_path)) return std::nullopt;
  auto manifest = read_manifest(file.get(), (*segments)[4]);
  if (!manifest) return std::nullopt;
  return SfxPayloads{exe_path, std::move(*segments), 0, false, std::move(*manifest), file};
}

bool is_package_name(const std::filesystem::path& name) {
  // A name with no Unicode form is no package of ours, and must not end the detection.
  const std::string extension = ascii_lower(path_to_utf8_checked(name.extension()).value_or(std::string()));
  return extension == ".msi" || extension == ".msix" || extension == ".msixbundle" || extension == ".exe";
}

bool holds_packages(const std::filesystem::path& dir) {
  std::error_code error;
  std::filesystem::directory_iterator entries(dir, error);
  if (error) return false;
  for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    if (error) return false;
    if (is_package_name(entries->path().filename())) return true;
  }
  return false;
}

}  // namespace

bool offline_folder_usable(const std::string& folder, bool elevated, platform::DirectoryTrust& trust) {
  if (!elevated) return true;
  const auto facts = trust.inspect(folder);
  std::string reason = facts ? untrusted_reason(*facts) : facts.error().text;
  if (facts && !facts->exists) reason = "it does not exist";
  if (reason.empty()) return true;
  log::warn(format("Ignoring the offline source folder {} in an elevated run: {}", folder, reason));
  return false;
}

namespace {
bool usable_here(const std::filesystem::path& folder) {
  return offline_folder_usable(path_to_utf8(folder), platform::is_elevated(), platform::system_directory_trust());
}
}  // namespace

std::optional<SfxPayloads> find_sfx_payloads(const std::string& exe_path) {
  if (exe_path.empty()) return std::nullopt;
  const std::filesystem::path exe = path_from_utf8(exe_path);
  if (auto named = bundle_source(exe.parent_path())) {
    // A relative path is taken against the current directory, as written.
    std::error_code error;
    const std::filesystem::path bundle = std::filesystem::absolute(path_from_utf8(*named), error);
    const bool elevated = platform::is_elevated();
    const bool usable = !elevated || (!error && usable_here(bundle.parent_path()) && !platform::is_link_entry(*named));
    if (usable) {
      if (auto payloads = external_bundle(*named)) return payloads;
    }
  }
  return embedded_trailer(exe_path);
}

std::optional<std::string> find_packages_dir(const std::string& exe_path) {
  if (exe_path.empty()) return std::nullopt;
  const std::filesystem::path dir = path_from_utf8(exe_path).parent_path();
  for (const auto& candidate : {dir / "packages", dir.parent_path() / "packages"}) {
    if (holds_packages(candidate) && usable_here(candidate)) return path_to_utf8(candidate);
  }
  return std::nullopt;
}

std::optional<OfflineSource> find_offline_source(const std::string& exe_path) {
  if (auto payloads = find_sfx_payloads(exe_path)) return OfflineSource(std::move(*payloads));
  if (auto dir = find_packages_dir(exe_path)) return OfflineSource(PackagesDirectory{std::move(*dir)});
  return std::nullopt;
}

std::optional<OfflineSource> find_offline_source() {
  // Without a usable path of its own the engine has no folder to look beside.
  const auto exe = platform::own_executable_path();
  return exe ? find_offline_source(*exe) : std::nullopt;
}

bool offline_mode() {
  static std::once_flag once;
  static bool offline = false;
  std::call_once(once, [] { offline = find_offline_source().has_value(); });
  return offline;
}

}  // namespace yoxa
