// The offline trailer and bundle footer (a whole file as input, read through the callback
// the engine uses), the certificate-table search end, and the offline manifest.
#include "acquisition/offline_provider.h"
#include "core/bundle_layout.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view file = yoxa::fuzz::as_text(data, size);
  const yoxa::ReadAt read = [file](std::uint64_t offset, std::size_t length) -> std::optional<std::string> {
    if (offset > file.size() || length > file.size() - offset) return std::nullopt;
    return std::string(file.substr(offset, length));
  };
  const std::uint64_t end = yoxa::search_end(read, file.size());
  if (end > file.size()) __builtin_trap();
  for (const auto& found : {yoxa::find_trailer(read, end), yoxa::find_footer(read, end)}) {
    if (!found) continue;
    // A table that passes both checks must describe bytes of this file.
    if (yoxa::segments_inside(*found, file.size()) && yoxa::segments_disjoint(*found)) {
      for (const auto& segment : *found) {
        if (segment.offset + segment.length > file.size()) __builtin_trap();
      }
    }
  }
  (void)yoxa::parse_offline_manifest(file);
  return 0;
}
