#pragma once
#include <cstdint>
#include <string_view>

#include "core/error.h"
#include "platform/registry.h"

namespace yoxa {

enum class ProcessorArch : std::uint8_t { X86, X64, Arm64, Unknown };

// "x86", "x64", "arm64" or "unknown".
std::string_view display_text(ProcessorArch arch);

// The Windows build number from the machine's CurrentVersion key (major and minor are only logged).
Result<std::uint32_t> windows_build(platform::Registry& registry);
Result<std::uint32_t> windows_build();

// The machine's processor architecture as the system environment states it; never fails.
ProcessorArch processor_architecture(platform::Registry& registry);
ProcessorArch processor_architecture();

}  // namespace yoxa
