#pragma once
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/app_table.h"
#include "core/install_scope.h"
#include "silent/silent_options.h"

namespace yoxa {

enum class Door { Subcommand, WorkerPayload, FlagMode, Usage };

bool is_subcommand(std::string_view word);
bool is_flag_like(std::string_view argument);
Door choose_door(const std::vector<std::string>& arguments);

// A subcommand's arguments: "--key value" pairs; a key without a value maps to "".
using FlagMap = std::unordered_map<std::string, std::string>;
FlagMap parse_flag_map(const std::vector<std::string>& arguments);

using AppSelection = std::vector<const AppDescriptor*>;

// "Invalid app id '{}'. Expected one of: {}".
std::string invalid_app_id_message(std::string_view id, const std::vector<const AppDescriptor*>& catalog);

// The lenient subcommand form: pieces trimmed, empties dropped, nothing left means every app.
[[nodiscard]] std::expected<AppSelection, std::string> resolve_app_selection(std::optional<std::string_view> apps_value,
                                                              const std::vector<const AppDescriptor*>& catalog);

// Scans flag-mode arguments left to right; the first error's text ends the scan.
[[nodiscard]] std::expected<SilentOptions, std::string> parse_flag_mode(const std::vector<std::string>& arguments,
                                                         const std::vector<const AppDescriptor*>& catalog);

}  // namespace yoxa
