#include "acquisition/framework_report.h"

#include <algorithm>

#include "core/log.h"
#include "core/text.h"

namespace yoxa {

std::vector<std::string> missing_framework_tokens(const MissingFrameworkDetector& detect,
                                                  std::span<const BundledFramework> table) {
  std::vector<FrameworkRequest> requests;
  for (const BundledFramework& row : table) {
    requests.push_back({std::string(row.identity), std::string(row.min_version)});
  }
  const std::vector<std::string> needed_names = detect(requests);
  const auto is_needed = [&](const BundledFramework& row) {
    return std::ranges::find(needed_names, row.identity) != needed_names.end();
  };

  std::vector<std::string> tokens;
  std::vector<std::string> needed;
  std::vector<std::string> present;
  for (const BundledFramework& row : table) {
    if (!is_needed(row)) {
      present.emplace_back(row.identity);
      continue;
    }
    needed.emplace_back(row.identity);
    if (!row.token.empty() && std::ranges::find(tokens, row.token) == tokens.end()) tokens.emplace_back(row.token);
  }
  if (!present.empty()) {
    log::info(format("Framework dependencies already present (no install needed): {}", join(present, ", ")));
  }
  if (!needed.empty()) {
    log::info(format("Missing or outdated framework dependencies (will be installed): {}", join(needed, ", ")));
  } else {
    log::info("All known framework dependencies are already present on this machine");
  }
  return tokens;
}

}  // namespace yoxa
