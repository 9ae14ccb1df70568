#pragma once
#include <cstdio>
#include <string>

namespace yoxa::platform {

// Opens a file for binary reading so that nobody can write, rename or delete it while
// this stream is open (Windows: CreateFileW with FILE_SHARE_READ only). What is checked
// through the stream stays what is later read through it. Null with errno set on failure.
// POSIX stand-in: an ordinary read-only open, which cannot deny anything.
std::FILE* open_file_denying_writes(const std::string& utf8_path);

}  // namespace yoxa::platform
