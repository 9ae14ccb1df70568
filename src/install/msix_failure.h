#pragma once
// The user message for a failed Appx deployment, read from PowerShell's error text.
#include <optional>
#include <string>
#include <string_view>

namespace yoxa {

// The name between the double quotes after "Provide the framework ", when the text has one.
std::optional<std::string> missing_framework_name(std::string_view error_text);

// First match wins: a named missing framework, then the HRESULT codes (exact, upper-case
// hexadecimal), then the general message.
std::string msix_failure_message(std::string_view error_text);

}  // namespace yoxa
