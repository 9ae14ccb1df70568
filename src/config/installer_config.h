#pragma once
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/app_table.h"
#include "core/install_scope.h"

namespace yoxa {

// The embedded installer configuration, parsed afresh on every use. A missing or
// wrongly typed key takes its default; loading never fails.
struct InstallerConfig {
  InstallScope install_scope = InstallScope::User;
  bool show_terms_step = true;
  std::string flavour;
  std::string download_page_url;
  std::string help_url;
  std::string feedback_url;
  std::optional<std::string> expires_on_online;
  std::optional<std::string> expires_on_offline;
  std::string cdn_data_center;
  std::map<std::string, std::string> cdn_domains;
  std::string cdn_distribution_root;
  std::string cdn_apps_root;
  std::string cdn_release;
  bool cdn_release_notes_enabled = false;
  std::vector<std::string> trusted_download_domains;
  std::vector<std::string> excluded_apps;
  std::vector<std::pair<std::string, std::string>> app_web_urls;
  // `metaSigningKeys`: the public keys one of which must sign every meta.json, as
  // uncompressed P-256 points (65 bytes). A document that names at least one entry turns
  // signing on, even when no entry is usable (then nothing verifies); none keeps it off.
  bool meta_signing_enabled = false;
  std::vector<std::string> meta_signing_keys;
  std::size_t unusable_meta_signing_keys = 0;
};

// Parses a configuration document (the embedded one, or a test's).
InstallerConfig parse_installer_config(std::string_view text);
// The document linked into this executable (src/embedded).
std::string_view embedded_installer_config_text();
// The embedded document, with the summary log line.
InstallerConfig load_installer_config();

std::optional<std::string> cdn_base_host(const InstallerConfig& config);
// The app table in order, minus the excluded apps.
std::vector<const AppDescriptor*> included_apps(const InstallerConfig& config);
std::string config_summary_line(const InstallerConfig& config);

// A `metaSigningKeys` entry: base64 (padding optional, surrounding blanks ignored) of the
// uncompressed point; none when it is not one.
std::optional<std::string> decode_meta_signing_key(std::string_view text);

// The maker's own web domains, used when the document names no trusted suffixes.
extern const std::vector<std::string> kDefaultTrustedDomains;

}  // namespace yoxa
