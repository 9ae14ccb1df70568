#include "acquisition/sfx_provider.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "core/log.h"
#include "core/messages.h"
#include "core/places.h"
#include "core/text.h"
#include "platform/system.h"

namespace yoxa {

namespace {
constexpr std::size_t kCopyBuffer = 256 * 1024;

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

OfflineManifest manifest_of(const SfxPayloads& payloads) {
  if (auto manifest = parse_offline_manifest(payloads.manifest_text)) return std::move(*manifest);
  log::warn("SfxPackageProvider: embedded manifest is missing/empty");
  return {};
}

std::unexpected<Error> extract_failure(std::string detail) {
  return fail(msg::kExtractFailed, std::move(detail), place::kOfflineExtract);
}

std::string os_text() { return std::strerror(errno); }
}  // namespace

SfxPackageProvider::SfxPackageProvider(SfxPayloads payloads, PackageHost host)
    : OfflineProvider(manifest_of(payloads), std::move(host)), payloads_(std::move(payloads)) {}

Result<void> SfxPackageProvider::extract(const PayloadSegment& segment, const std::string& destination) const {
  // The held image is read through the handle its trailer came from; a bundle is opened anew.
  File opened(nullptr, &std::fclose);
  std::FILE* source = payloads_.held_image.get();
  if (!source) {
    opened.reset(platform::open_file(payloads_.source_path, "rb"));
    source = opened.get();
  }
  if (!source) return extract_failure(format("cannot open {}: {}", payloads_.source_path, os_text()));
  if (!platform::seek_file(source, segment.offset)) {
    return extract_failure(format("cannot seek {} to {}", payloads_.source_path, segment.offset));
  }
  File target(platform::open_file(destination, "wb"), &std::fclose);
  if (!target) return extract_failure(format("cannot create {}: {}", destination, os_text()));
  std::vector<char> buffer(kCopyBuffer);
  for (std::uint64_t left = segment.length; left > 0;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
    const std::size_t got = std::fread(buffer.data(), 1, want, source);
    if (got == 0) {
      if (std::ferror(source)) return extract_failure(format("reading {}: {}", payloads_.source_path, os_text()));
      return extract_failure("short read extracting bundle segment");
    }
    if (std::fwrite(buffer.data(), 1, got, target.get()) != got) {
      return extract_failure(format("writing {}: {}", destination, os_text()));
    }
    left -= got;
  }
  if (std::fclose(target.release()) != 0) return extract_failure(format("closing {}: {}", destination, os_text()));
  return {};
}

Result<void> SfxPackageProvider::image_signature() const {
  std::call_once(image_checked_, [this] {
    if (!payloads_.held_image) {
      image_verdict_ = fail(msg::kVerificationFailed,
                            format("the engine image {} is not held open; its payloads cannot be vouched for",
                                   payloads_.source_path),
                            place::kOfflineImageNotHeld);
      return;
    }
    image_verdict_ = host_.verify_image(payloads_.held_image.get(), payloads_.source_path);
    if (image_verdict_) log::info(format("The engine image {} carries the suite's signature", payloads_.source_path));
  });
  return image_verdict_;
}

Result<void> SfxPackageProvider::check_privileged(const AppDescriptor& row, std::string_view kind,
                                                  const std::string& path,
                                                  const std::optional<std::string>& digest) const {
  if (payloads_.external) return OfflineProvider::check_privileged(row, kind, path, digest);
  if (auto image = image_signature(); !image) return image;
  if (!digest) return {};
  return host_.verify_checksum(path, *digest);
}

FetchOutcome SfxPackageProvider::fetch(const AppDescriptor& row, const std::string& staging_base,
                                       const EventSink& sink, const CancelToken& cancel) const {
  const auto table = app_table();
  const auto found = std::ranges::find(table, row.id, &AppDescriptor::id);
  if (found == table.end()) {
    return std::unexpected(Error::same(format("Unknown app id: {}", row.id), place::kOfflineUnknownApp));
  }
  const auto index = static_cast<std::size_t>(found - table.begin()) + payloads_.base_index;
  // An empty segment is how a bundle leaves an app out.
  if (index >= payloads_.segments.size() || payloads_.segments[index].length == 0) {
    return std::unexpected(Error::same(format("SFX trailer has no entry for app '{}'", row.id), place::kOfflineNoSegment));
  }
  const PayloadSegment& segment = payloads_.segments[index];
  return stage_copy(row, staging_base, "embedded", sink, cancel,
                    [&](const std::string& final_path) { return extract(segment, final_path); });
}

}  // namespace yoxa
