#pragma once
#include <cstdint>
#include <string_view>

namespace yoxa {

enum class LogLevel : std::uint8_t { Error, Warn, Info, Debug, Trace };

// The engine-wide logging facade. Every layer logs through it; the process logger
// (system/logger.h) plugs itself in once it has a file. Until then lines are discarded.
namespace log {
using Writer = void (*)(LogLevel level, std::string_view message);
void set_writer(Writer writer) noexcept;
void write(LogLevel level, std::string_view message);

inline void error(std::string_view message) { write(LogLevel::Error, message); }
inline void warn(std::string_view message) { write(LogLevel::Warn, message); }
inline void info(std::string_view message) { write(LogLevel::Info, message); }
}  // namespace log

}  // namespace yoxa
