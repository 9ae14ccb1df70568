#pragma once
// The one way Windows headers enter the engine.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#include <windows.h>

#include <string>
#include <string_view>

#include "core/text.h"
#include "platform/os_error.h"

namespace yoxa::platform::win {

inline std::wstring wide(std::string_view utf8) {
  const std::u16string text = utf8_to_utf16(utf8);
  return std::wstring(text.begin(), text.end());
}
inline std::string narrow(std::wstring_view utf16) {
  return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(utf16.data()), utf16.size()));
}

// The system's text for an error code, without the trailing line break.
std::string error_text(DWORD code);
inline OsError last_error() {
  const DWORD code = GetLastError();
  return OsError{code, error_text(code)};
}

}  // namespace yoxa::platform::win
