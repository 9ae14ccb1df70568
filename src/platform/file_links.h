#pragma once
// Links seen without following them. mingw's std::filesystem does not report Windows
// reparse points, so code that deletes what it did not create asks here.
#include <expected>
#include <string>

#include "platform/os_error.h"

namespace yoxa::platform {

// Whether `utf8_path` itself is a reparse point (a symbolic link, junction or mount point;
// a symbolic link on POSIX). A path that cannot be examined is an error.
std::expected<bool, OsError> is_reparse_point(const std::string& utf8_path);

}  // namespace yoxa::platform
