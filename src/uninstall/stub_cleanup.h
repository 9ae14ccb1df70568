#pragma once
// After a confirmed removal, the uninstaller an NSIS-style product leaves behind goes, with
// its directory, when nothing else is in there. Nothing else is ever deleted.
#include <filesystem>
#include <string>
#include <string_view>

namespace yoxa {

// A drive root, or a directory directly below one (or a path with no directory at all).
bool too_close_to_drive_root(const std::filesystem::path& directory);

// `program` as registered; a relative one is taken against the working directory, as the
// uninstaller was started. Logs what it did; never fails the caller.
void clean_up_uninstaller_stub(std::string_view display_name, const std::string& program);

}  // namespace yoxa
