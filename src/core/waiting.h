#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "core/error.h"

namespace yoxa {

// Every pause between attempts goes through one of these, so tests can retry without waiting.
using Sleeper = std::function<void(std::chrono::seconds)>;
inline void real_sleep(std::chrono::seconds pause) { std::this_thread::sleep_for(pause); }

// Runs a PowerShell script with a time limit in seconds (run_powershell in production).
using ScriptRunner = std::function<Result<std::string>(const std::string& script, std::uint32_t limit_seconds)>;

}  // namespace yoxa
