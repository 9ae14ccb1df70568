#pragma once
#include <optional>
#include <string>
#include <vector>

#include "core/install_scope.h"

namespace yoxa {

enum class SilentMode { Install, Uninstall };

// What a headless run was asked to do: from the flag door, or from a silent payload.
struct SilentOptions {
  bool silent = false;
  bool help = false;
  SilentMode mode = SilentMode::Install;
  std::vector<std::string> apps;  // ids as given, or every catalog id
  std::optional<std::string> log_directory;
  std::optional<InstallScope> scope;  // none: the configured default
  bool verbose = false;
};

// "install" or "uninstall", as logged and recorded.
inline const char* mode_word(SilentMode mode) { return mode == SilentMode::Install ? "install" : "uninstall"; }

}  // namespace yoxa
