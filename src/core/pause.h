#pragma once
#include <chrono>
#include <functional>
#include <thread>

namespace yoxa {

// Every wait between attempts and every polling interval goes through one of these, so
// tests can run retries without waiting.
using Pause = std::function<void(std::chrono::milliseconds)>;
inline void real_pause(std::chrono::milliseconds length) { std::this_thread::sleep_for(length); }

}  // namespace yoxa
