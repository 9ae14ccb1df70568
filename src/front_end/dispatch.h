#pragma once
#include <string>
#include <vector>

namespace yoxa {
// The process entry after the platform's own: start-up hardening, then one of
// the three doors. Returns the process exit code.
int run_engine(const std::vector<std::string>& arguments);
}  // namespace yoxa
