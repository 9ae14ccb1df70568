#pragma once
// Which temporary directory a process uses. LocalSystem's must be one only
// Administrators and LocalSystem can change: GetTempPath2W's answer where the system
// has that call, otherwise the same place it would give, "<Windows>\SystemTemp" (the
// classic answer, <Windows>\Temp, lets any user create folders).
#include <optional>
#include <string>

namespace yoxa::platform {

inline std::string choose_temp_directory(bool local_system, const std::optional<std::string>& temp_path2,
                                         const std::string& windows_directory, const std::string& temp_path) {
  if (!local_system) return temp_path;
  if (temp_path2 && !temp_path2->empty()) return *temp_path2;
  return windows_directory + "\\SystemTemp";
}

}  // namespace yoxa::platform
