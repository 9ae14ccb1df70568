#pragma once
// The tokens of the compiled-in framework rows that an MSIX install would still have to add.
#include <span>
#include <string>
#include <vector>

#include "acquisition/bundled_dependencies.h"
#include "system/framework_detection.h"

namespace yoxa {

// Tokens in table order, each once, empty ones left out. A failed detection reports none.
std::vector<std::string> missing_framework_tokens(
    const MissingFrameworkDetector& detect = [](const std::vector<FrameworkRequest>& requests) {
      return detect_missing_frameworks(requests);
    },
    std::span<const BundledFramework> table = bundled_framework_table());

}  // namespace yoxa
