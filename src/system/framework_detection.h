#pragma once
// Which Windows framework packages (VC runtime, App Runtime) a machine still lacks,
// asked of the Appx package registry through PowerShell.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "system/command_runner.h"

namespace yoxa {

inline constexpr std::uint32_t kFrameworkDetectionLimitSeconds = 30;

struct FrameworkRequest {
  std::string package_name;
  std::string min_version;  // empty: any version
};

struct FrameworkDetection {
  std::vector<std::string> needed;                  // in request order
  std::map<std::string, std::string> installed;     // package name -> highest installed version
};

// Get-AppxPackage -Name reads "[ ] * ?" as wildcards (and "`" escapes them), and has no
// literal form: a name with any of these would match other packages.
bool is_literal_package_name(std::string_view name);

// One query per package, joined into a single script; " -AllUsers" for machine scope.
// A name that is not literal gets no query (it is then reported needed).
std::string framework_detection_script(const std::vector<FrameworkRequest>& requests, bool machine);

// "name|version" lines, trimmed; lines without both sides are ignored, a later line wins.
std::map<std::string, std::string> parse_framework_versions(const std::string& output);

// A package is needed when it is not installed, or when it has a minimum version that the
// installed one is below or cannot be compared with.
bool framework_needed(const FrameworkRequest& request, const std::map<std::string, std::string>& installed);

// An empty request list runs nothing. A runner error is the detection error.
Result<FrameworkDetection> detect_frameworks(const std::vector<FrameworkRequest>& requests, bool machine,
                                             const ScriptRunner& run = run_powershell);

// Needed names for the given requests (detect_missing_frameworks in production).
using MissingFrameworkDetector = std::function<std::vector<std::string>(const std::vector<FrameworkRequest>&)>;

// The needed names for the current user; a detection error counts as nothing missing.
std::vector<std::string> detect_missing_frameworks(const std::vector<FrameworkRequest>& requests,
                                                   const ScriptRunner& run = run_powershell);

}  // namespace yoxa
