#include "zip_reader.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include <zlib.h>

namespace zip {

namespace {

std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint64_t le64(const unsigned char* p) { return le32(p) | static_cast<std::uint64_t>(le32(p + 4)) << 32; }

constexpr std::uint32_t kEndOfDirectory = 0x06054b50;
constexpr std::uint32_t kZip64Locator = 0x07064b50;
constexpr std::uint32_t kZip64End = 0x06064b50;
constexpr std::uint32_t kDirectoryEntry = 0x02014b50;
constexpr std::uint32_t kLocalHeader = 0x04034b50;
constexpr std::size_t kEndRecord = 22;
constexpr std::size_t kMaxComment = 0xFFFF;

bool inflate_raw(const std::string& in, std::uint64_t expected, std::string& out) {
  out.assign(static_cast<std::size_t>(expected), '\0');
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return false;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  stream.avail_in = static_cast<uInt>(in.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&stream, Z_FINISH);
  const bool ok = rc == Z_STREAM_END && stream.total_out == expected;
  inflateEnd(&stream);
  return ok;
}

}  // namespace

std::optional<Archive> Archive::open(ReadAt read, std::uint64_t size) {
  if (size < kEndRecord) return std::nullopt;
  const std::size_t tail_size = static_cast<std::size_t>(std::min<std::uint64_t>(size, kEndRecord + kMaxComment));
  std::vector<unsigned char> tail(tail_size);
  if (!read(size - tail_size, tail.data(), tail_size)) return std::nullopt;
  std::optional<std::size_t> end;
  for (std::size_t i = tail_size - kEndRecord + 1; i-- > 0;) {
    if (le32(&tail[i]) == kEndOfDirectory && i + kEndRecord + le16(&tail[i + 20]) == tail_size) {
      end = i;
      break;
    }
  }
  if (!end) return std::nullopt;
  const std::uint64_t end_offset = size - tail_size + *end;
  std::uint64_t count = le16(&tail[*end + 10]);
  std::uint64_t directory_size = le32(&tail[*end + 12]);
  std::uint64_t directory_offset = le32(&tail[*end + 16]);
  std::uint64_t directory_limit = end_offset;
  if (count == 0xFFFF || directory_size == 0xFFFFFFFF || directory_offset == 0xFFFFFFFF) {
    unsigned char locator[20];
    unsigned char record[56];
    if (end_offset < sizeof locator || !read(end_offset - sizeof locator, locator, sizeof locator) ||
        le32(locator) != kZip64Locator)
      return std::nullopt;
    const std::uint64_t record_offset = le64(locator + 8);
    if (record_offset > end_offset || end_offset - record_offset < sizeof record ||
        !read(record_offset, record, sizeof record) || le32(record) != kZip64End)
      return std::nullopt;
    count = le64(record + 32);
    directory_size = le64(record + 40);
    directory_offset = le64(record + 48);
    directory_limit = record_offset;
  }
  if (directory_offset > directory_limit || directory_size > directory_limit - directory_offset ||
      directory_size > kMaxEntryBytes)
    return std::nullopt;
  std::vector<unsigned char> directory(static_cast<std::size_t>(directory_size));
  if (!directory.empty() && !read(directory_offset, directory.data(), directory.size())) return std::nullopt;

  Archive archive;
  std::size_t pos = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (directory.size() - pos < 46 || le32(&directory[pos]) != kDirectoryEntry) return std::nullopt;
    const unsigned char* record = &directory[pos];
    Entry entry;
    entry.flags = le16(record + 8);
    entry.method = le16(record + 10);
    entry.compressed_size = le32(record + 20);
    entry.size = le32(record + 24);
    entry.local_header = le32(record + 42);
    const std::size_t name_size = le16(record + 28);
    const std::size_t extra_size = le16(record + 30);
    const std::size_t comment_size = le16(record + 32);
    if (directory.size() - pos - 46 < name_size + extra_size + comment_size) return std::nullopt;
    entry.name.assign(reinterpret_cast<const char*>(record + 46), name_size);
    for (std::size_t x = 0; x + 4 <= extra_size;) {
      const unsigned char* field = record + 46 + name_size + x;
      const std::size_t length = le16(field + 2);
      if (x + 4 + length > extra_size) break;
      if (le16(field) == 0x0001) {  // zip64 sizes and offset, present only for the saturated fields
        std::size_t at = 4;
        auto take = [&](std::uint64_t& value) {
          if (value == 0xFFFFFFFF && at + 8 <= 4 + length) {
            value = le64(field + at);
            at += 8;
          }
        };
        take(entry.size);
        take(entry.compressed_size);
        take(entry.local_header);
      }
      x += 4 + length;
    }
    pos += 46 + name_size + extra_size + comment_size;
    archive.entries_.push_back(std::move(entry));
  }
  archive.read_ = std::move(read);
  archive.size_ = size;
  return archive;
}

std::optional<Archive> Archive::open_bytes(std::string bytes) {
  auto owned = std::make_shared<const std::string>(std::move(bytes));
  const std::string* data = owned.get();
  auto archive = open(
      [data](std::uint64_t offset, void* buf, std::size_t n) {
        if (offset > data->size() || n > data->size() - offset) return false;
        std::memcpy(buf, data->data() + offset, n);
        return true;
      },
      data->size());
  if (archive) archive->owned_ = std::move(owned);
  return archive;
}

const Entry* Archive::find(std::string_view name) const {
  for (const auto& entry : entries_) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

std::optional<std::string> Archive::read(const Entry& entry) const {
  if (entry.compressed_size > kMaxEntryBytes || entry.size > kMaxEntryBytes) return std::nullopt;
  unsigned char header[30];
  if (entry.local_header > size_ || size_ - entry.local_header < sizeof header ||
      !read_(entry.local_header, header, sizeof header) || le32(header) != kLocalHeader)
    return std::nullopt;
  const std::uint64_t data_offset = entry.local_header + sizeof header + le16(header + 26) + le16(header + 28);
  if (data_offset > size_ || entry.compressed_size > size_ - data_offset) return std::nullopt;
  std::string raw(static_cast<std::size_t>(entry.compressed_size), '\0');
  if (!raw.empty() && !read_(data_offset, raw.data(), raw.size())) return std::nullopt;
  if (entry.method == 0) {
    if (raw.size() != entry.size) return std::nullopt;
    return raw;
  }
  std::string out;
  if (entry.method != 8 || !inflate_raw(raw, entry.size, out)) return std::nullopt;
  return out;
}

std::optional<std::string> Archive::read(std::string_view name) const {
  const Entry* entry = find(name);
  return entry ? read(*entry) : std::nullopt;
}

}  // namespace zip
