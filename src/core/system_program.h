#pragma once
#include <string>
#include <string_view>

namespace yoxa {

// `relative` (e.g. "cmd.exe") inside the Windows system directory `directory`, as the
// system reports it: without a trailing separator unless it is a drive root ("E:\").
// Empty when `directory` is not an absolute path, so that a failed query never makes a
// program name that is searched for relative to the current directory.
std::string system_program_path(std::string_view directory, std::string_view relative);

}  // namespace yoxa
