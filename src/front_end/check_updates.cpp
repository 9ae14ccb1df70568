#include <algorithm>
#include <memory>
#include <thread>
#include <variant>

#include "config/expiry.h"
#include "config/installer_config.h"
#include "config/retirement.h"
#include "acquisition/framework_report.h"
#include "acquisition/source_probe.h"
#include "core/text.h"
#include "front_end/command_line.h"
#include "front_end/distinct_apps.h"
#include "front_end/emit.h"
#include "front_end/installed_state.h"
#include "front_end/latest_version.h"
#include "front_end/provider_selection.h"
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

Json release_notes_array(const ReleaseNotes& notes) {
  Json releases = Json::array();
  for (const auto& entry : notes.releases) {
    releases.push_back({{"version", entry.version},
                        {"date", entry.date ? Json(*entry.date) : Json(nullptr)},
                        {"notes", entry.notes}});
  }
  return releases;
}

struct Lookup {
  LatestInfo latest;
  std::optional<ReleaseNotes> notes;
};

// `answers` holds one lookup per distinct app; the list has one entry per requested app.
Json second_answer(const AppSelection& apps, const std::vector<InstalledState>& states, const DistinctApps& distinct,
                   const std::vector<Lookup>& answers) {
  Json list = Json::array();
  for (std::size_t i = 0; i < apps.size(); ++i) {
    Json object = Json::object();
    object["id"] = apps[i]->id;
    const Lookup& lookup = answers[distinct.slot[i]];
    const LatestInfo& latest = lookup.latest;
    object["latestVersion"] = latest.version ? Json(*latest.version) : Json(nullptr);
    object["updateAvailable"] = update_available(states[i].version, latest);
    object["sizeBytes"] = latest.size ? Json(*latest.size) : Json(nullptr);
    if (lookup.notes) object["releaseNotes"] = release_notes_array(*lookup.notes);
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
  if (!resolved) {
    const std::string* error = &resolved.error();
    platform::write_standard_error(printable(*error) + "\n");
    return 3;
  }
  const AppSelection apps = std::move(*resolved);

  // Latest versions are looked up in the background, one thread per distinct app,
  // so the installed versions go out before any network answer.
  const bool with_notes = config.cdn_release_notes_enabled;
  // An offline build answers from its manifest instead of the CDN.
  const std::shared_ptr<const PackageProvider> offline = offline_provider();
  const DistinctApps distinct = distinct_apps(apps);
  std::vector<Lookup> answers(distinct.apps.size());
  std::vector<std::jthread> workers;
  for (std::size_t i = 0; i < distinct.apps.size(); ++i) {
    workers.emplace_back([&answers, app = distinct.apps[i], i, with_notes, offline] {
      answers[i].latest = offline ? bundled_latest_version(*offline, *app) : lookup_latest_version(*app);
      if (with_notes) answers[i].notes = lookup_release_notes(*app);
    });
  }
  // What an MSIX install would still have to add, asked once on its own thread.
  const bool any_msix = std::ranges::any_of(apps, [](const AppDescriptor* app) {
    return app->installer_kind == InstallerKind::Msix;
  });
  std::vector<std::string> missing_frameworks;
  std::jthread framework_check;
  if (any_msix) framework_check = std::jthread([&missing_frameworks] { missing_frameworks = missing_framework_tokens(); });

  const auto states = detect_installed(system_detection(), apps, false);
  emit(first_answer(apps, states));
  workers.clear();
  if (framework_check.joinable()) framework_check.join();

  Json second = second_answer(apps, states, distinct, answers);
  if (any_msix) second["missingFrameworks"] = missing_frameworks;
  std::optional<Retirement> retired = check_expiry();
  const auto not_available = [](const Lookup& l) { return l.latest.kind == LatestInfo::Kind::NotAvailable; };
  if (!retired && !offline && !apps.empty() && std::ranges::all_of(answers, not_available)) {
    note_not_found();
    retired = source_unavailable_verdict();
  }
  if (retired) second["installerRetired"] = retirement_object(*retired);
  emit(second);

  // Every distinct app failing is every requested app failing.
  const auto failed = [](const Lookup& l) { return l.latest.kind == LatestInfo::Kind::Failed; };
  const int exit_code = !apps.empty() && std::ranges::all_of(answers, failed) ? 5 : 0;
  emit_done("check-updates", exit_code, {});
  return exit_code;
}

}  // namespace yoxa
