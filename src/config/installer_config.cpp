#include "config/installer_config.h"

#include <algorithm>

#include "core/base64.h"
#include "core/protocol_event.h"
#include "core/text.h"
#include "core/log.h"
#include "platform/signature.h"

namespace yoxa {

namespace {
constexpr const char* kDefaultDownloadPage = "https://www.yoxa.example/office/download";
constexpr const char* kDefaultFeedbackPage = "https://www.yoxa.example/contact";

// A non-empty JSON string, else the default.
std::string string_or(const Json& object, const char* key, std::string fallback) {
  if (!object.is_object()) return fallback;
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return fallback;
  std::string value = it->get<std::string>();
  return value.empty() ? fallback : value;
}

std::optional<std::string> optional_string(const Json& object, const char* key) {
  std::string value = string_or(object, key, "");
  if (value.empty()) return std::nullopt;
  return value;
}

bool bool_or(const Json& object, const char* key, bool fallback) {
  if (!object.is_object()) return fallback;
  const auto it = object.find(key);
  return it != object.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

const Json& member(const Json& object, const char* key) {
  static const Json kNull;
  if (!object.is_object()) return kNull;
  const auto it = object.find(key);
  return it == object.end() ? kNull : *it;
}

std::string normalise_domain(std::string_view text) {
  std::string_view value = trim(text);
  while (!value.empty() && value.back() == '.') value.remove_suffix(1);
  return ascii_lower(value);
}
}  // namespace

const std::vector<std::string> kDefaultTrustedDomains = {"yoxa.example", "yoxausercontent.example",
                                                         "yoxa-usercontent.example", "yoxastatic.example"};

InstallerConfig parse_installer_config(std::string_view text) {
  Json doc = Json::parse(text, nullptr, false);
  if (doc.is_discarded()) doc = Json();

  InstallerConfig config;
  const Json& scope = member(doc, "installScope");
  if (scope.is_string()) config.install_scope = parse_install_scope(scope.get<std::string>()).value_or(InstallScope::User);
  config.show_terms_step = bool_or(doc, "showTermsStep", true);
  config.flavour = string_or(doc, "flavour", "default");
  config.download_page_url = string_or(doc, "downloadPageUrl", kDefaultDownloadPage);
  config.help_url = string_or(doc, "helpUrl", kDefaultDownloadPage);
  config.feedback_url = string_or(doc, "feedbackUrl", kDefaultFeedbackPage);

  const Json& expires = member(doc, "expiresOn");
  config.expires_on_online = optional_string(expires, "online");
  config.expires_on_offline = optional_string(expires, "offline");

  const Json& cdn = member(doc, "cdn");
  config.cdn_data_center = string_or(cdn, "dataCenter", "us");
  config.cdn_distribution_root = string_or(cdn, "distributionRoot", "officesuite");
  config.cdn_apps_root = string_or(cdn, "appsRoot", "apps");
  config.cdn_release = string_or(cdn, "release", "latest");
  config.cdn_release_notes_enabled = bool_or(cdn, "releaseNotesEnabled", false);
  const Json& domains = member(cdn, "domains");
  if (domains.is_object()) {
    for (const auto& [key, value] : domains.items()) {
      if (!value.is_string()) continue;
      std::string origin = value.get<std::string>();
      while (!origin.empty() && origin.back() == '/') origin.pop_back();
      config.cdn_domains[key] = origin;
    }
  }

  const Json& trusted = member(doc, "trustedDownloadDomains");
  if (trusted.is_array()) {
    for (const Json& element : trusted) {
      if (!element.is_string()) continue;
      std::string domain = normalise_domain(element.get<std::string>());
      if (!domain.empty()) config.trusted_download_domains.push_back(std::move(domain));
    }
  } else {
    config.trusted_download_domains = kDefaultTrustedDomains;
  }

  const Json& apps = member(doc, "apps");
  if (apps.is_object()) {
    for (const auto& [id, value] : apps.items()) {
      const Json& included = member(value, "included");
      if (included.is_boolean() && !included.get<bool>()) config.excluded_apps.push_back(id);
    }
  }

  const Json& web = member(doc, "appWebUrls");
  if (web.is_object()) {
    for (const auto& [id, value] : web.items()) {
      if (value.is_string() && !value.get<std::string>().empty()) {
        config.app_web_urls.emplace_back(id, value.get<std::string>());
      }
    }
  }

  const Json& keys = member(doc, "metaSigningKeys");
  if (keys.is_array() && !keys.empty()) {
    config.meta_signing_enabled = true;
    for (const Json& element : keys) {
      auto key = element.is_string() ? decode_meta_signing_key(element.get<std::string>()) : std::nullopt;
      if (key) config.meta_signing_keys.push_back(std::move(*key));
      else ++config.unusable_meta_signing_keys;
    }
  }
  return config;
}

std::optional<std::string> decode_meta_signing_key(std::string_view text) {
  auto bytes = base64_decode_padded_or_not(text);
  if (!bytes || bytes->size() != platform::kP256PublicKeyBytes || static_cast<unsigned char>((*bytes)[0]) != 0x04) return std::nullopt;
  return bytes;
}

InstallerConfig load_installer_config() {
  InstallerConfig config = parse_installer_config(embedded_installer_config_text());
  log::info(config_summary_line(config));
  return config;
}

std::optional<std::string> cdn_base_host(const InstallerConfig& config) {
  const auto it = config.cdn_domains.find(config.cdn_data_center);
  if (it == config.cdn_domains.end()) return std::nullopt;
  return it->second;
}

std::vector<const AppDescriptor*> included_apps(const InstallerConfig& config) {
  std::vector<const AppDescriptor*> apps;
  for (const AppDescriptor& app : app_table()) {
    const bool excluded = std::ranges::find(config.excluded_apps, app.id) != config.excluded_apps.end();
    if (!excluded) apps.push_back(&app);
  }
  return apps;
}

std::string config_summary_line(const InstallerConfig& config) {
  const std::string details =
      format("showTermsStep={}, flavour={}, cdn dataCenter={}, cdn base={}, trustedDownloadDomains={}",
             config.show_terms_step, config.flavour, config.cdn_data_center,
             cdn_base_host(config).value_or("(unset!)"), config.trusted_download_domains.size());
  return format("installer_config.json (embedded): installScope resolved to {}, {}",
                config.install_scope == InstallScope::Machine ? "Machine" : "User", details);
}

}  // namespace yoxa
