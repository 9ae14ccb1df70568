#pragma once
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace yoxa {

// Where a line reader's bytes come from: a process's standard input, or a test's text.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // The next bytes, at least one; none at the end of input or on a read error.
  virtual std::optional<std::string> read() = 0;
};

struct InputLine {
  std::string text;       // without its line feed
  bool too_long = false;  // the line was longer than the bound and was dropped; text is empty
};

// Splits a byte source into lines. Each byte is looked at once, and a line longer
// than `max_line` bytes is not kept: it reads as one too-long line and reading goes
// on after its line feed. Input that ends without a line feed ends with that text.
class LineReader {
 public:
  LineReader(std::unique_ptr<ByteSource> source, std::size_t max_line);
  // The next line; none once the input has ended.
  std::optional<InputLine> next();

 private:
  std::optional<InputLine> take_buffered();
  void compact();

  std::unique_ptr<ByteSource> source_;
  std::size_t max_line_;
  std::string buffer_;
  std::size_t start_ = 0;    // the unread text starts here
  std::size_t scanned_ = 0;  // bytes of the unread text known to hold no line feed
  bool discarding_ = false;  // inside a too-long line, until its line feed
  bool ended_ = false;
};

}  // namespace yoxa
