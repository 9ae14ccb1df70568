#pragma once
// Folders an uninstaller must never be told it lives in: it deletes from the folder it is
// given, so a wrong one costs the system's or the user's files.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace yoxa {

using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;

struct ProtectedFolder {
  std::string path;
  bool with_subfolders = false;  // the Windows folder: nothing below it is a program folder either
};

// The system's and the user's own folders, as this process's environment names them.
std::vector<ProtectedFolder> protected_folders(const EnvironmentLookup& environment);

// Why `directory` is no folder to run an uninstaller in place for: not an absolute Windows
// path, a NUL inside, a drive root or directly below one, one of `protected_folders` (or below
// one kept with its subfolders), or a folder holding one. None when it is an ordinary program folder.
std::optional<std::string> unsafe_install_folder(std::string_view directory,
                                                 const std::vector<ProtectedFolder>& protected_folders);

}  // namespace yoxa
