#include "system/framework_detection.h"

#include "core/log.h"
#include "core/text.h"
#include "system/detection.h"

namespace yoxa {

bool is_literal_package_name(std::string_view name) { return name.find_first_of("[]*?`") == std::string_view::npos; }

std::string framework_detection_script(const std::vector<FrameworkRequest>& requests, bool machine) {
  const std::string scope = machine ? " -AllUsers" : "";
  std::vector<std::string> parts;
  for (const FrameworkRequest& request : requests) {
    if (!is_literal_package_name(request.package_name)) continue;
    const std::string name = powershell_quote(request.package_name);
    parts.push_back("$v = @(Get-AppxPackage -Name '" + name + "'" + scope +
                    " | ForEach-Object { $_.Version } | Sort-Object { [version]$_ } -Descending | Select-Object "
                    "-First 1); if ($v) { '" +
                    name + "|' + $v[0] }");
  }
  return join(parts, "; ");
}

std::map<std::string, std::string> parse_framework_versions(const std::string& output) {
  std::map<std::string, std::string> installed;
  for (const std::string& raw : split(output, '\n')) {
    const std::string_view line = trim(raw);
    const auto bar = line.find('|');
    if (bar == std::string_view::npos || bar == 0 || bar + 1 == line.size()) continue;
    installed[std::string(line.substr(0, bar))] = std::string(line.substr(bar + 1));
  }
  return installed;
}

bool framework_needed(const FrameworkRequest& request, const std::map<std::string, std::string>& installed) {
  const auto found = installed.find(request.package_name);
  if (found == installed.end()) return true;
  if (request.min_version.empty()) return false;
  const auto order = compare_versions(found->second, request.min_version);
  return !order || *order == VersionOrder::Less;
}

Result<FrameworkDetection> detect_frameworks(const std::vector<FrameworkRequest>& requests, bool machine,
                                             const ScriptRunner& run) {
  FrameworkDetection detection;
  if (requests.empty()) return detection;
  const std::string script = framework_detection_script(requests, machine);
  auto output = script.empty() ? Result<std::string>(std::string())
                               : run(script, kFrameworkDetectionLimitSeconds);
  if (!output) return std::unexpected(output.error());
  detection.installed = parse_framework_versions(*output);
  for (const FrameworkRequest& request : requests) {
    if (framework_needed(request, detection.installed)) detection.needed.push_back(request.package_name);
  }
  return detection;
}

std::vector<std::string> detect_missing_frameworks(const std::vector<FrameworkRequest>& requests,
                                                   const ScriptRunner& run) {
  auto detection = detect_frameworks(requests, false, run);
  if (detection) return std::move(detection->needed);
  log::warn(format("Framework detection failed ({}); assuming frameworks present", detection.error().full_text()));
  return {};
}

}  // namespace yoxa
