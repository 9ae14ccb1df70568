#pragma once
// Starting a copy of the engine through the UAC prompt, and waiting for it.
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>

#include "platform/ipc.h"
#include "platform/system.h"

namespace yoxa {

// What ShellExecuteExW "runas" answers, HRESULT_FROM_WIN32 of the last error: the one
// that means the user said no.
inline constexpr std::uint32_t kUacDeclinedHresult = 0x800704C7;

std::uint32_t hresult_from_win32(std::uint32_t code);
// "0x800704C7": upper-case hexadecimal, eight digits.
std::string hresult_text(std::uint32_t hresult);

struct ElevatedStart {
  std::optional<platform::DetachedProcess> process;  // started
  bool declined = false;                             // the user declined the prompt
  std::string error;                                 // neither: why it could not start
};

// The real launcher is platform::DetachedProcess::start_elevated; tests hand in their own.
using ElevatedLauncher = std::function<std::expected<platform::DetachedProcess, platform::OsError>(
    const std::string& program, const std::string& parameters)>;

// Starts the engine's own executable elevated with the base64 of `payload` (no padding)
// as its whole argument text.
ElevatedStart elevate_self(const std::string& payload,
                           const std::expected<std::string, platform::ExecutablePathError>& own_executable,
                           const ElevatedLauncher& launch);
ElevatedStart elevate_self(const std::string& payload);

// The elevated copy's exit code once it has ended; 2 with an error logged when the wait
// or the exit-code read fails. Takes the two halves of the wait so each failure is told apart.
std::uint32_t wait_elevated(const std::function<std::expected<void, platform::OsError>()>& wait_ended,
                  const std::function<std::expected<std::uint32_t, platform::OsError>()>& exit_code);
std::uint32_t wait_elevated(platform::DetachedProcess& process);

}  // namespace yoxa
