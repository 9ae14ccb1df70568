#include "uninstall/folder_guard.h"

#include <algorithm>
#include <cctype>
#include <ranges>

#include "core/paths.h"
#include "core/text.h"
#include "uninstall/stub_cleanup.h"

namespace yoxa {

namespace {

constexpr const char* kFolderVariables[] = {
    "SystemRoot",   "windir",      "ProgramFiles",        "ProgramFiles(x86)", "ProgramW6432",
    "ProgramData",  "ALLUSERSPROFILE", "CommonProgramFiles", "CommonProgramFiles(x86)", "PUBLIC",
    "USERPROFILE",  "APPDATA",     "LOCALAPPDATA",        "TEMP",              "TMP",
};

// One spelling per folder: backslashes, ASCII lower case, no device prefix, no trailing separator.
std::string comparable(std::string_view path) {
  std::string text = ascii_lower(path);
  std::ranges::replace(text, '/', '\\');
  if (text.starts_with("\\\\?\\") || text.starts_with("\\\\.\\")) text.erase(0, 4);
  while (text.size() > 1 && text.back() == '\\') text.pop_back();
  return text;
}

bool is_absolute_windows_path(std::string_view text) {
  if (text.starts_with("\\\\") || text.starts_with("//")) return true;
  return text.size() >= 3 && std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':' &&
         (text[2] == '\\' || text[2] == '/');
}

}  // namespace

std::vector<ProtectedFolder> protected_folders(const EnvironmentLookup& environment) {
  std::vector<ProtectedFolder> folders;
  for (const char* name : kFolderVariables) {
    const auto value = environment(name);
    if (!value || trim(*value).empty()) continue;
    const std::string_view variable(name);
    folders.push_back({std::string(trim(*value)), variable == "SystemRoot" || variable == "windir"});
    // The folder holding every profile goes with the user's own.
    if (variable == "USERPROFILE") {
      const std::string& profile = folders.back().path;
      const std::size_t separator = profile.find_last_of("\\/");
      if (separator != std::string::npos && separator > 0) folders.push_back({profile.substr(0, separator), false});
    }
  }
  return folders;
}

std::optional<std::string> unsafe_install_folder(std::string_view directory,
                                                 const std::vector<ProtectedFolder>& protected_folders) {
  if (directory.find('\0') != std::string_view::npos) return "it contains a NUL character";
  if (!is_absolute_windows_path(directory)) return "it is not an absolute path";
  for (const auto piece : std::views::split(directory, '\\')) {
    const std::string_view part(piece.begin(), piece.end());
    if (part == "." || part == "..") return "it climbs with '.' or '..'";
  }
  if (too_close_to_drive_root(path_from_utf8(std::string(directory)))) return "too close to the drive root";
  const std::string wanted = comparable(directory);
  for (const ProtectedFolder& folder : protected_folders) {
    const std::string known = comparable(folder.path);
    const bool inside = folder.with_subfolders && wanted.starts_with(known + "\\");
    if (known == wanted || known.starts_with(wanted + "\\") || inside) {
      return format("it is, holds or lies in the system folder '{}'", printable(folder.path));
    }
  }
  return std::nullopt;
}

}  // namespace yoxa
