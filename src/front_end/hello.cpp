#include "config/expiry.h"
#include "config/installer_config.h"
#include "config/retirement.h"
#include "front_end/catalog.h"
#include "front_end/emit.h"
#include "front_end/installed_state.h"
#include "front_end/read_only_commands.h"
#include "platform/system.h"

namespace yoxa {

namespace {
Json hello_app(const AppDescriptor& app, const InstalledState& state, const InstallerConfig& config) {
  const auto& catalog = catalog_info();
  const auto info = catalog.find(std::string(app.id));
  const CatalogInfo* entry = info == catalog.end() ? nullptr : &info->second;

  Json object = Json::object();
  object["id"] = app.id;
  object["displayName"] = entry && entry->display_name ? *entry->display_name : std::string(app.display_name);
  object["descriptionCode"] = entry ? entry->description_code : std::string();
  object["latestVersion"] = nullptr;
  object["updateAvailable"] = false;
  object["sizeBytes"] = app.required_bytes;
  put_installed_state(object, state);

  Json web_url = nullptr;
  for (const auto& [id, url] : config.app_web_urls) {
    if (id == app.id) { web_url = url; break; }
  }
  if (web_url.is_null() && entry && entry->web_url) web_url = *entry->web_url;
  object["webUrl"] = web_url;
  return object;
}
}  // namespace

int run_hello() {
  const InstallerConfig config = load_installer_config();
  const auto apps = included_apps(config);
  // Registry only: answering MSIX apps through PowerShell would make hello slow.
  const auto states = detect_installed(system_detection(), apps, true);

  Json event = make_event("hello");
  event["engineVersion"] = "0.0.0";
  event["protocolVersion"] = 1;
  event["platform"] = "windows";
  const bool offline = offline_mode();
  event["mode"] = offline ? "offline" : "online";
  Json capabilities = {"install", "update", "uninstall", "check-updates", "export-logs"};
  if (offline) capabilities.push_back("offline");
  if (!config.show_terms_step) capabilities.push_back("skip-terms");
  event["capabilities"] = std::move(capabilities);
  event["defaultInstallDir"] = platform::environment_variable("ProgramFiles").value_or("C:\\Program Files");
  event["installScope"] = wire_string(config.install_scope);
  event["helpUrl"] = config.help_url;
  event["feedbackUrl"] = config.feedback_url;
  Json list = Json::array();
  for (std::size_t i = 0; i < apps.size(); ++i) list.push_back(hello_app(*apps[i], states[i], config));
  event["apps"] = std::move(list);
  if (auto retired = check_expiry()) event["installerRetired"] = retirement_object(*retired);

  emit(event);
  emit_done("hello", 0, {});
  return 0;
}

}  // namespace yoxa
