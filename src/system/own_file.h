#pragma once
// The engine's own small files (quit files, log placeholders, summaries), written through
// platform::open_file so that no child process inherits them.
#include <string>
#include <string_view>
#include <system_error>

namespace yoxa {

enum class WriteMode : std::uint8_t { Replace, Append };

// Creates the file (or empties it, or appends to it) and writes `bytes`; the error of the
// open, write or close on failure.
std::error_code write_own_file(const std::string& utf8_path, std::string_view bytes,
                               WriteMode mode = WriteMode::Replace);

}  // namespace yoxa
