// Reads zip archives for the test helpers that look inside MSIX packages (the PowerShell
// stand-in and the test subject interface package): the central directory (zip64 aware),
// and one entry's bytes, stored or deflated. Hostile archives fail cleanly: every offset and
// size is checked against the archive, and entries and directories are capped in size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zip {

// Reads n bytes at an offset into buf; false when they cannot all be read.
using ReadAt = std::function<bool(std::uint64_t offset, void* buf, std::size_t n)>;

inline constexpr std::uint64_t kMaxEntryBytes = 64ull << 20;

struct Entry {
  std::string name;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint64_t compressed_size = 0;
  std::uint64_t size = 0;
  std::uint64_t local_header = 0;
};

class Archive {
 public:
  // None when the bytes are not a zip archive this reader understands.
  static std::optional<Archive> open(ReadAt read, std::uint64_t size);
  static std::optional<Archive> open_bytes(std::string bytes);

  const std::vector<Entry>& entries() const { return entries_; }
  const Entry* find(std::string_view name) const;
  // The entry's uncompressed bytes; none when it is damaged, too large or uses another method.
  std::optional<std::string> read(const Entry& entry) const;
  std::optional<std::string> read(std::string_view name) const;

 private:
  ReadAt read_;
  std::uint64_t size_ = 0;
  std::vector<Entry> entries_;
  std::shared_ptr<const std::string> owned_;  // the bytes of open_bytes
};

}  // namespace zip
