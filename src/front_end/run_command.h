#pragma once
#include <string>
#include <vector>

namespace yoxa {

// `run`: validates the request, starts the worker, relays its events and ends with
// `done`. Returns the process exit code. `arguments` follow the subcommand word.
int run_run(const std::vector<std::string>& arguments);

}  // namespace yoxa
