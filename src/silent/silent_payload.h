#pragma once
// The text a silent run hands to the copy it starts elevated or in the user's session:
// "SILENT:" or "UNINSTALL:", the app ids joined by ",", then "|log dir" when a log
// directory or a scope is set and "|scope" when a scope is set.
#include <optional>
#include <string>
#include <string_view>

#include "silent/silent_options.h"

namespace yoxa {

std::string encode_silent_payload(const SilentOptions& options);

// The options of a whole payload text (prefix included); none when the prefix is
// neither "SILENT:" nor "UNINSTALL:".
std::optional<SilentOptions> parse_silent_payload(std::string_view payload);

}  // namespace yoxa
