#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace yoxa {
// Splits a command line by the C runtime's rules: white space separates, quotes
// group, 2n backslashes before a quote give n and open/close, 2n+1 give n and a literal quote.
// The first element is the program name.
std::vector<std::string> split_windows_command_line(std::string_view command_line);
// Quotes one argument so that the splitter above gives it back unchanged.
std::string quote_windows_argument(std::string_view argument);
std::string build_windows_command_line(std::string_view program, const std::vector<std::string>& arguments);
}  // namespace yoxa
