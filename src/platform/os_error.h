#pragma once
#include <cstdint>
#include <string>
#include <system_error>

namespace yoxa::platform {

// An operating-system failure: its code (GetLastError / errno) and its text, always in
// the form "text (os error N)".
struct OsError {
  std::uint32_t code = 0;
  std::string text;
  bool access_denied() const;
};

// A standard-library error (std::filesystem and friends) in the same form as OsError,
// with the system's own wording: the C++ runtime's texts for Windows errors are vague.
std::string error_code_text(const std::error_code& error);

}  // namespace yoxa::platform
