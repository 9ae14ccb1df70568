#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace yoxa {

// No platform opens a path longer than this many UTF-16 units; longer ones are not asked about.
inline constexpr std::size_t kLongestPathUnits = 32767;

// Calls `visit` with `path` and then each of its parents (as parent_path() would
// give them) up to the root, until `visit` returns true; true when one did. The
// walk looks at each byte of the path a bounded number of times, however deep it
// is, and skips the forms too long for any platform to open.
bool walk_up_parents(std::string path, const std::function<bool(const std::string&)>& visit);

}  // namespace yoxa
