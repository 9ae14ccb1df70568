#pragma once
#include <string>
#include <vector>

namespace yoxa {
// The launcher's read-only subcommands; each emits its events and `done`, and
// returns the process exit code. `arguments` follow the subcommand word.
int run_hello();
int run_disk_free(const std::vector<std::string>& arguments);
int run_check_updates(const std::vector<std::string>& arguments);
}  // namespace yoxa
