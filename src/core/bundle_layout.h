#pragma once
// The two layouts that carry offline packages inside a file: the fixed trailer appended
// to the engine executable and the footer of an external bundle. Everything here is
// outside input; the parsers read through a callback and never trust a count, offset
// or length before checking it against the file.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace yoxa {

struct PayloadSegment {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool operator==(const PayloadSegment&) const = default;
};

inline constexpr std::string_view kTrailerMagic{"YXFFPKG\0", 8};
inline constexpr std::string_view kFooterMagic{"YXBUNDLE", 8};
inline constexpr std::size_t kTrailerSize = 88;
inline constexpr std::size_t kTrailerSegments = 5;
inline constexpr std::size_t kBundleSegments = 7;
inline constexpr std::uint32_t kFooterMaxCount = 64;
// Alignment padding tolerated between a structure and the search end.
inline constexpr std::uint64_t kMaxGap = 7;

// Exactly `length` bytes at `offset`, or none when they cannot all be read.
using ReadAt = std::function<std::optional<std::string>(std::uint64_t offset, std::size_t length)>;

// Where a trailer or footer must end: the file size, or the start of the Authenticode
// certificate table of a signed PE image when that is smaller.
std::uint64_t search_end(const ReadAt& read, std::uint64_t file_size);

// The five segments of an embedded trailer ending 0 to 7 bytes before `end`.
std::optional<std::vector<PayloadSegment>> find_trailer(const ReadAt& read, std::uint64_t end);

// The segment table of a bundle footer whose magic ends 0 to 7 bytes before `end`;
// none when there is no magic, the count is not 1 to 64, or the table would start
// before the file.
std::optional<std::vector<PayloadSegment>> find_footer(const ReadAt& read, std::uint64_t end);

// Every segment lies inside a file of `file_size` bytes, without overflow.
bool segments_inside(std::span<const PayloadSegment> segments, std::uint64_t file_size);
// No two non-empty segments share a byte.
bool segments_disjoint(std::span<const PayloadSegment> segments);

// Little-endian encodings, for the writer side and for tests.
std::string encode_trailer(std::span<const PayloadSegment> segments);
std::string encode_footer(std::span<const PayloadSegment> segments);

}  // namespace yoxa
