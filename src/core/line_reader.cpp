#include "core/line_reader.h"

#include <utility>

namespace yoxa {

LineReader::LineReader(std::unique_ptr<ByteSource> source, std::size_t max_line)
    : source_(std::move(source)), max_line_(max_line) {}

std::optional<InputLine> LineReader::take_buffered() {
  const std::size_t from = start_ + scanned_;
  const std::size_t feed = buffer_.find('\n', from);
  if (feed == std::string::npos) {
    scanned_ = buffer_.size() - start_;
    if (scanned_ > max_line_) {
      // Nothing of this line will be used: stop keeping it.
      discarding_ = true;
      buffer_.clear();
      start_ = scanned_ = 0;
    }
    return std::nullopt;
  }
  const std::size_t length = feed - start_;
  InputLine line;
  if (discarding_ || length > max_line_) {
    line.too_long = true;
  } else {
    line.text = buffer_.substr(start_, length);
  }
  discarding_ = false;
  start_ = feed + 1;
  scanned_ = 0;
  return line;
}

// Drops the text already handed out once it is most of the buffer, so each byte is
// moved a bounded number of times.
void LineReader::compact() {
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ > 4096 && start_ * 2 > buffer_.size()) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
}

std::optional<InputLine> LineReader::next() {
  while (true) {
    if (auto line = take_buffered()) return line;
    if (ended_) {
      if (discarding_) {
        discarding_ = false;
        return InputLine{{}, true};
      }
      if (start_ == buffer_.size()) return std::nullopt;
      InputLine last{buffer_.substr(start_), false};
      buffer_.clear();
      start_ = scanned_ = 0;
      return last;
    }
    compact();
    auto bytes = source_->read();
    if (!bytes || bytes->empty()) {
      ended_ = true;
      continue;
    }
    if (discarding_) {
      // Only the line feed that ends the dropped line matters.
      const std::size_t feed = bytes->find('\n');
      if (feed == std::string::npos) continue;
      buffer_.append(*bytes, feed, std::string::npos);
    } else {
      buffer_.append(*bytes);
    }
  }
}

}  // namespace yoxa
