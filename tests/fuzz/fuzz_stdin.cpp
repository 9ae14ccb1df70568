// The launcher's stdin: bytes in reads of varying size, split into lines, each handled.
#include <filesystem>

#include "core/line_reader.h"
#include "front_end/stdin_commands.h"
#include "fuzz_support.h"

namespace {
// The first byte picks the read size, so lines fall across reads in every way.
class Reads final : public yoxa::ByteSource {
 public:
  explicit Reads(std::string_view text) : text_(text.empty() ? text : text.substr(1)),
                                          step_(text.empty() ? 1 : 1 + static_cast<unsigned char>(text[0]) % 64) {}
  std::optional<std::string> read() override {
    if (text_.empty()) return std::nullopt;
    const std::string next(text_.substr(0, step_));
    text_.remove_prefix(next.size());
    return next;
  }

 private:
  std::string_view text_;
  std::size_t step_;
};
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  yoxa::fuzz::silence_standard_output();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string quit_file = (std::filesystem::temp_directory_path() / "yoxa-fuzz-never-created").string();
  // A small bound, so over-long lines are common.
  yoxa::LineReader reader(std::make_unique<Reads>(yoxa::fuzz::as_text(data, size)), 128);
  while (auto line = reader.next()) {
    if (line->too_long) continue;
    if (!yoxa::handle_stdin_line(line->text, quit_file)) break;
  }
  return 0;
}
