#pragma once
// Where a package is staged before it is installed, and the names it is staged under.
#include <string>
#include <string_view>

#include "core/error.h"

namespace yoxa {

struct StagingPaths {
  std::string final_path;  // <base>\installer\installer-v{version}.{format}
  std::string temp_path;   // the same with ".tmp" appended, written first
};

// Whether a version taken from the CDN can stand in a file name without leaving the
// staging directory or being refused by Windows: not empty, no path separators, no
// "..", no control characters or <>:"/\|?*, no trailing dot or space.
bool is_safe_version_for_file_name(std::string_view version);
// The same as a result: a verification failure whose detail names the value.
Result<void> check_version_for_file_name(std::string_view version);

// Creates <base>\installer (and the base) when missing and returns the staged package's paths.
// Fails with the filesystem error (OS error as detail), or the verification failure
// for a version unfit for a file name.
Result<StagingPaths> staging_paths(const std::string& staging_base, std::string_view version,
                                   std::string_view format);

// <base>\installer.
std::string staging_directory(const std::string& staging_base);

}  // namespace yoxa
