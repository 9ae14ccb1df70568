#include "core/protocol_event.h"

#include <algorithm>
#include <array>

#include "core/error.h"

namespace yoxa {

namespace {
constexpr std::array<std::string_view, 7> kStatusWire = {"installed", "updated", "uninstalled", "already_absent",
                                                         "failed",    "skipped", "cancelled"};
constexpr std::array<std::string_view, 4> kStageWire = {"download", "verify", "install", "uninstall"};

Json optional_string(const std::optional<std::string>& value) { return value ? Json(*value) : Json(nullptr); }
}  // namespace

std::string_view wire_string(AppStatus status) {
  const auto index = static_cast<std::size_t>(status);
  return index < kStatusWire.size() ? kStatusWire[index] : kStatusWire[4];
}

std::string_view wire_string(InstallStage stage) {
  const auto index = static_cast<std::size_t>(stage);
  return index < kStageWire.size() ? kStageWire[index] : kStageWire[0];
}

std::optional<AppStatus> app_status_from_wire(std::string_view text) {
  for (std::size_t i = 0; i < kStatusWire.size(); ++i) {
    if (kStatusWire[i] == text) return static_cast<AppStatus>(i);
  }
  return std::nullopt;
}

AppResult AppResult::plain(std::string app, AppStatus status) {
  AppResult result;
  result.app = std::move(app);
  result.status = status;
  return result;
}

AppResult AppResult::failed(std::string app, std::string_view code) {
  AppResult result = plain(std::move(app), AppStatus::Failed);
  result.error_code = code;
  return result;
}

Json make_event(std::string_view type) {
  Json event = Json::object();
  event["type"] = type;
  event["v"] = 1;
  return event;
}

Json app_result_object(const AppResult& result) {
  Json event = make_event("app-result");
  event["app"] = result.app;
  event["status"] = wire_string(result.status);
  event["errorCode"] = result.status == AppStatus::Failed && result.error_code ? Json(*result.error_code)
                                                                                : Json(nullptr);
  event["installedPath"] = optional_string(result.installed_path);
  event["installedVersion"] = optional_string(result.installed_version);
  return event;
}

std::optional<AppResult> parse_app_result(const Json& event) {
  if (!event.is_object()) return std::nullopt;
  const auto type = event.find("type");
  if (type == event.end() || *type != "app-result") return std::nullopt;
  const auto text = [&](const char* key) -> std::optional<std::string> {
    const auto it = event.find(key);
    if (it == event.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
  };
  AppResult result;
  result.app = text("app").value_or("");
  const auto status = text("status");
  result.status = (status ? app_status_from_wire(*status) : std::nullopt).value_or(AppStatus::Failed);
  if (result.status == AppStatus::Failed) {
    const auto code = text("errorCode");
    result.error_code = wire_string(code_from_wire(code ? std::optional<std::string_view>(*code) : std::nullopt));
  }
  result.installed_path = text("installedPath");
  result.installed_version = text("installedVersion");
  return result;
}

Json admin_prompt_event() {
  Json event = make_event("prompt");
  event["id"] = "uac-1";
  event["kind"] = "admin_escalation";
  event["app"] = nullptr;
  event["messageCode"] = "PROMPT_ADMIN_REQUIRED";
  return event;
}

Json log_event(std::string_view level, std::string_view message) {
  Json event = make_event("log");
  event["level"] = level;
  event["message"] = message;
  return event;
}

Json progress_event(std::string_view app, std::uint64_t percent, bool indeterminate, std::string_view detail_code,
                    const std::optional<Json>& detail_args) {
  Json event = make_event("progress");
  event["app"] = app;
  event["percent"] = std::min<std::uint64_t>(percent, 100);
  event["indeterminate"] = indeterminate;
  event["detailCode"] = detail_code;
  if (detail_args) event["detailArgs"] = *detail_args;
  return event;
}

Json stage_event(std::string_view app, InstallStage stage, std::size_t index, std::size_t total) {
  Json event = make_event("stage");
  event["app"] = app;
  event["stage"] = wire_string(stage);
  event["index"] = index;
  event["total"] = total;
  return event;
}

Json retirement_object(const Retirement& retirement) {
  Json object = Json::object();
  object["reason"] = retirement.reason;
  object["downloadUrl"] = retirement.download_url;
  if (retirement.expires_on) object["expiresOn"] = *retirement.expires_on;
  return object;
}

Json done_event(std::string_view action, int exit_code, const std::vector<AppResult>& results,
                const std::optional<Retirement>& retirement) {
  Json event = make_event("done");
  event["action"] = action;
  event["exitCode"] = exit_code;
  Json list = Json::array();
  for (const auto& result : results) list.push_back(app_result_object(result));
  event["results"] = std::move(list);
  if (retirement) event["installerRetired"] = retirement_object(*retirement);
  return event;
}

std::string to_wire(const Json& event) { return event.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace yoxa
