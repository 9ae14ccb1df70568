#include "system/elevation.h"

#include <cstdio>

#include "core/base64.h"
#include "core/log.h"
#include "core/text.h"
#include "platform/system.h"

namespace yoxa {

namespace {
constexpr std::uint32_t kFailure = 2;
}  // namespace

std::uint32_t hresult_from_win32(std::uint32_t code) {
  // Codes that are already HRESULTs (or success) pass unchanged, as the Windows macro does.
  if (static_cast<std::int32_t>(code) <= 0) return code;
  return (code & 0xFFFFu) | 0x80070000u;
}

std::string hresult_text(std::uint32_t hresult) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hresult));
  return text;
}

ElevatedStart elevate_self(const std::string& payload,
                           const std::expected<std::string, platform::ExecutablePathError>& own_executable,
                           const ElevatedLauncher& launch) {
  ElevatedStart outcome;
  if (!own_executable && !own_executable.error().not_unicode) {
    outcome.error = format("Failed to determine current_exe: {}", own_executable.error().os.text);
    return outcome;
  }
  if (!own_executable || !is_valid_utf8(*own_executable)) {
    if (!own_executable) log::error(format("current_exe: {}", own_executable.error().os.text));
    outcome.error = "Failed to encode current_exe as UTF-8";
    return outcome;
  }
  if (own_executable->empty()) {
    outcome.error = format("Failed to determine current_exe: {}", "the path of the running executable is unknown");
    return outcome;
  }
  auto started = launch(*own_executable, base64_encode_unpadded(payload));
  if (started) {
    outcome.process.emplace(std::move(*started));
    return outcome;
  }
  const std::uint32_t hresult = hresult_from_win32(started.error().code);
  if (hresult == kUacDeclinedHresult) {
    outcome.declined = true;
  } else {
    outcome.error = format("Failed to spawn elevated installer: {}", hresult_text(hresult));
  }
  return outcome;
}

ElevatedStart elevate_self(const std::string& payload) {
  return elevate_self(payload, platform::own_executable_path(), platform::DetachedProcess::start_elevated);
}

std::uint32_t wait_elevated(const std::function<std::expected<void, platform::OsError>()>& wait_ended,
                  const std::function<std::expected<std::uint32_t, platform::OsError>()>& exit_code) {
  if (!wait_ended()) {
    log::error("Failed to wait for elevated process");
    return kFailure;
  }
  const auto code = exit_code();
  if (!code) {
    log::error(format("Failed to read elevated exit code: {}", hresult_text(hresult_from_win32(code.error().code))));
    return kFailure;
  }
  return *code;
}

std::uint32_t wait_elevated(platform::DetachedProcess& process) {
  return wait_elevated([&] { return process.wait_ended(); }, [&] { return process.exit_code(); });
}

}  // namespace yoxa
