#include "core/bundle_layout.h"

#include <algorithm>
#include <limits>

namespace yoxa {

namespace {

std::uint64_t little_endian(std::string_view bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

void put_little_endian(std::string& out, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::optional<std::uint64_t> read_number(const ReadAt& read, std::uint64_t offset, std::size_t width) {
  auto bytes = read(offset, width);
  if (!bytes || bytes->size() != width) return std::nullopt;
  return little_endian(*bytes);
}

std::vector<PayloadSegment> parse_segments(std::string_view table) {
  std::vector<PayloadSegment> segments;
  for (std::size_t at = 0; at + 16 <= table.size(); at += 16) {
    segments.push_back({little_endian(table.substr(at, 8)), little_endian(table.substr(at + 8, 8))});
  }
  return segments;
}

// The certificate table's file offset, when the file is a PE image that has one.
std::optional<std::uint64_t> certificate_table_offset(const ReadAt& read) {
  auto mz = read(0, 2);
  if (!mz || *mz != "MZ") return std::nullopt;
  auto header = read_number(read, 0x3C, 4);
  if (!header) return std::nullopt;
  auto signature = read(*header, 4);
  if (!signature || *signature != std::string_view("PE\0\0", 4)) return std::nullopt;
  auto magic = read_number(read, *header + 24, 2);
  if (!magic) return std::nullopt;
  std::uint64_t directories = 0;
  if (*magic == 0x10B) {
    directories = *header + 24 + 96;
  } else if (*magic == 0x20B) {
    directories = *header + 24 + 112;
  } else {
    return std::nullopt;
  }
  auto offset = read_number(read, directories + 32, 4);
  auto size = read_number(read, directories + 36, 4);
  if (!offset || !size || *offset == 0 || *size == 0) return std::nullopt;
  return *offset;
}

}  // namespace

std::uint64_t search_end(const ReadAt& read, std::uint64_t file_size) {
  const auto table = certificate_table_offset(read);
  return table ? std::min(*table, file_size) : file_size;
}

std::optional<std::vector<PayloadSegment>> find_trailer(const ReadAt& read, std::uint64_t end) {
  for (std::uint64_t gap = 0; gap <= kMaxGap; ++gap) {
    if (end < kTrailerSize + gap) break;
    auto bytes = read(end - gap - kTrailerSize, kTrailerSize);
    if (!bytes || bytes->size() != kTrailerSize) continue;
    if (std::string_view(*bytes).substr(0, kTrailerMagic.size()) != kTrailerMagic) continue;
    return parse_segments(std::string_view(*bytes).substr(kTrailerMagic.size()));
  }
  return std::nullopt;
}

std::optional<std::vector<PayloadSegment>> find_footer(const ReadAt& read, std::uint64_t end) {
  for (std::uint64_t gap = 0; gap <= kMaxGap; ++gap) {
    if (end < kFooterMagic.size() + gap) break;
    const std::uint64_t magic_at = end - gap - kFooterMagic.size();
    auto magic = read(magic_at, kFooterMagic.size());
    if (!magic || *magic != kFooterMagic) continue;
    // The first match decides, whatever its count says.
    if (magic_at < 4) return std::nullopt;
    auto count = read_number(read, magic_at - 4, 4);
    if (!count || *count < 1 || *count > kFooterMaxCount) return std::nullopt;
    const std::uint64_t table_bytes = *count * 16;
    if (magic_at - 4 < table_bytes) return std::nullopt;
    auto table = read(magic_at - 4 - table_bytes, static_cast<std::size_t>(table_bytes));
    if (!table || table->size() != table_bytes) return std::nullopt;
    return parse_segments(*table);
  }
  return std::nullopt;
}

bool segments_inside(std::span<const PayloadSegment> segments, std::uint64_t file_size) {
  return std::ranges::all_of(segments, [file_size](const PayloadSegment& s) {
    return s.length <= std::numeric_limits<std::uint64_t>::max() - s.offset && s.offset + s.length <= file_size;
  });
}

bool segments_disjoint(std::span<const PayloadSegment> segments) {
  std::vector<PayloadSegment> used;
  for (const auto& s : segments) {
    if (s.length > 0) used.push_back(s);
  }
  std::ranges::sort(used, {}, &PayloadSegment::offset);
  for (std::size_t i = 1; i < used.size(); ++i) {
    if (used[i].offset - used[i - 1].offset < used[i - 1].length) return false;
  }
  return true;
}

std::string encode_trailer(std::span<const PayloadSegment> segments) {
  std::string out(kTrailerMagic);
  for (std::size_t i = 0; i < kTrailerSegments; ++i) {
    const PayloadSegment s = i < segments.size() ? segments[i] : PayloadSegment{};
    put_little_endian(out, s.offset, 8);
    put_little_endian(out, s.length, 8);
  }
  return out;
}

std::string encode_footer(std::span<const PayloadSegment> segments) {
  std::string out;
  for (const auto& s : segments) {
    put_little_endian(out, s.offset, 8);
    put_little_endian(out, s.length, 8);
  }
  put_little_endian(out, segments.size(), 4);
  out += kFooterMagic;
  return out;
}

}  // namespace yoxa
