// Matching the engine's PowerShell scripts by their full text, with the single-quoted values
// taken out, for the PowerShell stand-in.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// Reads a single-quoted string body starting at `pos` (just after the opening quote) and
// leaves `pos` on the closing quote; none when the string is not closed.
std::optional<std::string> quoted_value(std::string_view script, std::size_t& pos);

// Matches `script` against a template whose "{}" places each stand for one quoted value.
// The values in order, or none when the script differs.
std::optional<std::vector<std::string>> match_values(std::string_view script, std::string_view pattern);

// The same for templates whose places all hold one value.
std::optional<std::string> match_template(std::string_view script, std::string_view pattern);

}  // namespace standin
