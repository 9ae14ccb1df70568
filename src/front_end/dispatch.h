#pragma once
#include <functional>
#include <string>
#include <vector>

namespace yoxa {
// The process entry after the platform's own: start-up hardening, then one of
// the three doors. Returns the process exit code.
int run_engine(const std::vector<std::string>& arguments);

// Runs `body`; an exception it lets through is logged and written to standard error, and
// the process ends with 2 rather than being terminated without a word.
int run_guarded(const std::function<int()>& body);

// A relative --log directory taken against `start_directory`, the directory the process
// was started in (the engine moves to the system directory at entry).
std::string log_directory_from(const std::string& start_directory, const std::string& log_directory);
}  // namespace yoxa
