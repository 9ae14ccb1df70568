#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/retirement.h"

namespace yoxa {

// nlohmann's default object is a std::map, so keys come out in ascending byte order.
using Json = nlohmann::json;

enum class AppStatus : std::uint8_t { Installed, Updated, Uninstalled, AlreadyAbsent, Failed, Skipped, Cancelled };
enum class InstallStage : std::uint8_t { Download, Verify, Install, Uninstall };

std::string_view wire_string(AppStatus status);
std::string_view wire_string(InstallStage stage);
std::optional<AppStatus> app_status_from_wire(std::string_view text);

struct AppResult {
  std::string app;
  std::optional<std::string> installed_path;
  std::optional<std::string> installed_version;
  std::optional<std::string_view> error_code;  // a wire code, only for Failed
  AppStatus status = AppStatus::Failed;

  static AppResult plain(std::string app, AppStatus status);
  static AppResult failed(std::string app, std::string_view code);
};

// Event builders: every event carries v = 1 and its type.
Json make_event(std::string_view type);
Json app_result_object(const AppResult& result);
// An "app-result" event read back (the run process reads the worker's). None for any
// other event. Keys that are missing or not text count as absent; an unknown status
// reads as failed, and a failed result always carries a known wire code.
std::optional<AppResult> parse_app_result(const Json& event);
Json log_event(std::string_view level, std::string_view message);
// The one prompt this engine announces: a UAC consent dialog is about to appear.
Json admin_prompt_event();
Json progress_event(std::string_view app, std::uint64_t percent, bool indeterminate, std::string_view detail_code,
                    const std::optional<Json>& detail_args);
Json stage_event(std::string_view app, InstallStage stage, std::size_t index, std::size_t total);
Json retirement_object(const Retirement& retirement);
Json done_event(std::string_view action, int exit_code, const std::vector<AppResult>& results,
                const std::optional<Retirement>& retirement);

// The wire form: compact, one object, no line feed. Invalid UTF-8 is replaced, never thrown on.
std::string to_wire(const Json& event);

}  // namespace yoxa
