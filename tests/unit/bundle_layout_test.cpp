#include "core/bundle_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>

namespace yoxa {
namespace {

ReadAt over(const std::string& bytes) {
  return [&bytes](std::uint64_t offset, std::size_t length) -> std::optional<std::string> {
    if (offset > bytes.size() || length > bytes.size() - offset) return std::nullopt;
    return bytes.substr(static_cast<std::size_t>(offset), length);
  };
}

std::string le(std::uint64_t value, std::size_t width) {
  std::string out;
  for (std::size_t i = 0; i < width; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

void put(std::string& bytes, std::size_t at, const std::string& value) { bytes.replace(at, value.size(), value); }

const std::vector<PayloadSegment> kFive = {{0, 10}, {10, 20}, {30, 0}, {30, 5}, {35, 2}};

TEST(Trailer, FoundAtEveryGapUpToSevenAndNotBeyond) {
  for (std::size_t gap = 0; gap <= 9; ++gap) {
    const std::string bytes = std::string(100, 'x') + encode_trailer(kFive) + std::string(gap, '\0');
    const auto found = find_trailer(over(bytes), bytes.size());
    if (gap <= 7) {
      ASSERT_TRUE(found) << gap;
      EXPECT_EQ(*found, kFive);
    } else {
      EXPECT_FALSE(found) << gap;
    }
  }
}

TEST(Trailer, AbsentOrCutShort) {
  const std::string trailer = encode_trailer(kFive);
  EXPECT_FALSE(find_trailer(over(trailer.substr(0, 87)), 87));
  EXPECT_FALSE(find_trailer(over(std::string(500, '\0')), 500));
  std::string wrong = trailer;
  wrong[7] = 'X';  // the magic's terminating zero is part of it
  EXPECT_FALSE(find_trailer(over(wrong), wrong.size()));
  // Exactly the trailer and nothing else is still a trailer.
  EXPECT_TRUE(find_trailer(over(trailer), trailer.size()));
  // A search end beyond what can be read finds nothing instead of reading past the file.
  EXPECT_FALSE(find_trailer(over(trailer), trailer.size() + 100));
}

TEST(Footer, CountsAndGaps) {
  struct Case {
    std::size_t count;
    std::size_t gap;
    bool found;
  };
  const Case cases[] = {{1, 0, true}, {7, 0, true}, {7, 7, true}, {64, 3, true}, {7, 8, false}};
  for (const auto& c : cases) {
    std::vector<PayloadSegment> table;
    for (std::size_t i = 0; i < c.count; ++i) table.push_back({i * 3, 3});
    const std::string bytes = "prefix" + encode_footer(table) + std::string(c.gap, ' ');
    const auto found = find_footer(over(bytes), bytes.size());
    EXPECT_EQ(found.has_value(), c.found) << c.count << " gap " << c.gap;
    if (found) {
      EXPECT_EQ(*found, table);
    }
  }
}

TEST(Footer, HostileCountsAreRefused) {
  // Count 0, count 65, a count whose table would start before the file, a huge count.
  for (std::uint64_t count : {0ull, 65ull, 3ull, 0xFFFFFFFFull}) {
    const std::string bytes = std::string(32, 'a') + le(count, 4) + std::string(kFooterMagic);
    EXPECT_FALSE(find_footer(over(bytes), bytes.size())) << count;
  }
  // Magic with no room for a count.
  const std::string bare = "ab" + std::string(kFooterMagic);
  EXPECT_FALSE(find_footer(over(bare), bare.size()));
}

TEST(Segments, BoundsAndOverflow) {
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    PayloadSegment segment;
    bool inside;
  };
  const Case cases[] = {
      {{0, 100}, true},  {{99, 1}, true},  {{100, 0}, true},   {{99, 2}, false}, {{101, 0}, false},
      {{kMax, 1}, false}, {{1, kMax}, false}, {{kMax, kMax}, false},
  };
  for (const auto& c : cases) {
    const PayloadSegment one[] = {c.segment};
    EXPECT_EQ(segments_inside(one, 100), c.inside) << c.segment.offset << "+" << c.segment.length;
  }
}

TEST(Segments, OverlapIgnoresEmptySegments) {
  EXPECT_TRUE(segments_disjoint(kFive));
  const std::vector<PayloadSegment> overlapping = {{0, 10}, {9, 5}};
  EXPECT_FALSE(segments_disjoint(overlapping));
  const std::vector<PayloadSegment> same = {{20, 4}, {0, 0}, {20, 4}};
  EXPECT_FALSE(segments_disjoint(same));
  const std::vector<PayloadSegment> nested_empty = {{0, 10}, {5, 0}, {0, 0}};
  EXPECT_TRUE(segments_disjoint(nested_empty));
}

// A minimal PE image: "MZ", e_lfanew, "PE\0\0", optional-header magic, data directory 4.
std::string pe_image(std::uint16_t magic, std::uint32_t table_offset, std::uint32_t table_size, std::size_t size) {
  std::string bytes(size, '\0');
  put(bytes, 0, "MZ");
  const std::size_t header = 0x80;
  put(bytes, 0x3C, le(header, 4));
  put(bytes, header, std::string("PE\0\0", 4));
  put(bytes, header + 24, le(magic, 2));
  const std::size_t directories = header + 24 + (magic == 0x10B ? 96 : 112);
  put(bytes, directories + 32, le(table_offset, 4));
  put(bytes, directories + 36, le(table_size, 4));
  return bytes;
}

TEST(SearchEnd, CertificateTableOfSignedImages) {
  struct Case {
    const char* name;
    std::string bytes;
    std::uint64_t end;
  };
  std::string bad_signature = pe_image(0x20B, 600, 40, 1024);
  put(bad_signature, 0x80, "PX");
  std::string far_header = pe_image(0x20B, 600, 40, 1024);
  put(far_header, 0x3C, le(0xFFFFFFF0u, 4));
  const Case cases[] = {
      {"PE32+ signed", pe_image(0x20B, 600, 40, 1024), 600},
      {"PE32 signed", pe_image(0x10B, 700, 40, 1024), 700},
      {"unsigned", pe_image(0x20B, 0, 0, 1024), 1024},
      {"size without offset", pe_image(0x20B, 0, 40, 1024), 1024},
      {"offset without size", pe_image(0x20B, 600, 0, 1024), 1024},
      {"unknown magic", pe_image(0x107, 600, 40, 1024), 1024},
      {"table beyond the file", pe_image(0x20B, 5000, 40, 1024), 1024},
      {"not PE", bad_signature, 1024},
      {"header offset past the end", far_header, 1024},
      {"not MZ", std::string(1024, 'Z'), 1024},
      {"cut inside the headers", pe_image(0x20B, 600, 40, 1024).substr(0, 0x90), 0x90},
  };
  for (const auto& c : cases) EXPECT_EQ(search_end(over(c.bytes), c.bytes.size()), c.end) << c.name;
}

TEST(SearchEnd, TrailerBeforeAlignedCertificateTableIsFound) {
  // Signing appends the certificate table after up to 7 bytes of padding.
  std::string image = pe_image(0x20B, 0, 0, 512) + encode_trailer(kFive);
  const std::size_t table_at = image.size() + 5;
  image += std::string(5, '\0') + std::string(64, 'C');
  put(image, 0x80 + 24 + 112 + 32, le(table_at, 4));
  put(image, 0x80 + 24 + 112 + 36, le(64, 4));
  const auto read = over(image);
  const auto found = find_trailer(read, search_end(read, image.size()));
  ASSERT_TRUE(found);
  EXPECT_EQ(*found, kFive);
}

TEST(BundleLayout, RandomHostileFilesNeverReadOutsideOrCrash) {
  std::mt19937_64 random(14);
  for (int round = 0; round < 5000; ++round) {
    std::string bytes(random() % 400, '\0');
    for (auto& b : bytes) b = static_cast<char>(random());
    // Plant structures at random spots so the parsers get past their magic.
    if (bytes.size() > 2 && random() % 2) put(bytes, 0, "MZ");
    for (std::string_view magic : {kTrailerMagic, kFooterMagic}) {
      if (bytes.size() >= magic.size() + 8 && random() % 2) {
        put(bytes, random() % (bytes.size() - magic.size()), std::string(magic));
      }
    }
    if (bytes.size() > 0x40 && random() % 2) put(bytes, 0x3C, le(random() % (bytes.size() + 16), 4));
    const ReadAt read = over(bytes);
    // The search end may be claimed beyond the file; every read is checked.
    const std::uint64_t end = search_end(read, bytes.size() + random() % 3);
    EXPECT_LE(end, bytes.size() + 2);
    if (auto trailer = find_trailer(read, end)) {
      EXPECT_EQ(trailer->size(), kTrailerSegments);
    }
    if (auto footer = find_footer(read, end)) {
      EXPECT_GE(footer->size(), 1u);
      EXPECT_LE(footer->size(), kFooterMaxCount);
      (void)segments_inside(*footer, bytes.size());
      (void)segments_disjoint(*footer);
    }
  }
}

}  // namespace
}  // namespace yoxa
