#pragma once
// Builds offline payload files the way the release tool lays them out, for tests.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/bundle_layout.h"

namespace yoxa::testing {

inline void write_bytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// `prefix`, then each part in turn; the segments locate the parts (an empty part
// gives an empty segment).
struct Layout {
  std::string bytes;
  std::vector<PayloadSegment> segments;
};

inline Layout lay_out(std::string prefix, const std::vector<std::string>& parts) {
  Layout layout{std::move(prefix), {}};
  for (const auto& part : parts) {
    layout.segments.push_back({part.empty() ? 0 : layout.bytes.size(), part.size()});
    layout.bytes += part;
  }
  return layout;
}

}  // namespace yoxa::testing
