#include <thread>
#include <variant>

#include "config/expiry.h"
#include "config/installer_config.h"
#include "core/text.h"
#include "front_end/command_line.h"
#include "front_end/emit.h"
#include "front_end/installed_state.h"
#include "front_end/latest_version.h"
#include "front_end/read_only_commands.h"
#include "platform/system.h"

namespace yoxa {

namespace {
bool update_available(const std::optional<std::string>& installed, const LatestInfo& latest) {
  if (!installed || !latest.version) return false;
  const auto order = compare_versions(*installed, *latest.version);
  return order && *order == VersionOrder::Less;
}

Json first_answer(const AppSelection& apps, const std::vector<InstalledState>& states) {
  Json list = Json::array();
  for (std::size_t i = 0; i < apps.size(); ++i) {
    Json object = {{"id", apps[i]->id}, {"latestVersion", nullptr}, {"updateAvailable", false}};
    put_installed_state(object, states[i]);
    list.push_back(std::move(object));
  }
  Json event = make_event("update-check-result");
  event["apps"] = std::move(list);
  return event;
}

Json second_answer(const AppSelection& apps, const std::vector<InstalledState>& states,
                   const std::vector<LatestInfo>& latest) {
  Json list = Json::array();
  for (std::size_t i = 0; i < apps.size(); ++i) {
    Json object = Json::object();
    object["id"] = apps[i]->id;
    object["latestVersion"] = latest[i].version ? Json(*latest[i].version) : Json(nullptr);
    object["updateAvailable"] = update_available(states[i].version, latest[i]);
    object["sizeBytes"] = latest[i].size ? Json(*latest[i].size) : Json(nullptr);
    list.push_back(std::move(object));
  }
  Json event = make_event("update-check-result");
  event["apps"] = std::move(list);
  return event;
}
}  // namespace

int run_check_updates(const std::vector<std::string>& arguments) {
  const FlagMap flags = parse_flag_map(arguments);
  const auto apps_flag = flags.find("apps");
  const auto config = load_installer_config();
  auto resolved = resolve_app_selection(
      apps_flag == flags.end() ? std::nullopt : std::optional<std::string_view>(apps_flag->second),
      included_apps(config));
  if (auto* error = std::get_if<std::string>(&resolved)) {
    platform::write_standard_error(*error + "\n");
    return 3;
  }
  const AppSelection apps = std::get<AppSelection>(std::move(resolved));

  // Latest versions are looked up in the background so installed versions go out first.
  std::vector<LatestInfo> latest(apps.size());
  std::vector<std::jthread> lookups;
  for (std::size_t i = 0; i < apps.size(); ++i) {
    lookups.emplace_back([&latest, app = apps[i], i] { latest[i] = lookup_latest_version(*app); });
  }
  const auto states = detect_installed(system_detection(), apps, false);
  emit(first_answer(apps, states));
  lookups.clear();

  Json second = second_answer(apps, states, latest);
  if (auto retired = check_expiry()) second["installerRetired"] = retirement_object(*retired);
  emit(second);

  std::size_t failed = 0;
  for (const auto& info : latest) failed += info.kind == LatestInfo::Kind::Failed ? 1 : 0;
  const int exit_code = !apps.empty() && failed == apps.size() ? 5 : 0;
  emit_done("check-updates", exit_code, {});
  return exit_code;
}

}  // namespace yoxa
