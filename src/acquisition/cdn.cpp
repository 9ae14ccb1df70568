#include "acquisition/cdn.h"

#include "acquisition/http_request.h"
#include "acquisition/signed_meta.h"
#include "acquisition/url_trust.h"
#include "core/messages.h"
#include "core/places.h"
#include "core/text.h"
#include "core/log.h"

namespace yoxa {

namespace {

constexpr std::uint32_t kMetaTimeoutSeconds = 10;

// With signing keys configured, meta.json.sig beside the document must vouch for its exact bytes.
Result<void> check_signature(platform::HttpClient& client, const InstallerConfig& config, const AppDescriptor& row,
                             const std::string& url, const std::string& text, const MetaSigningContext* signing) {
  auto signature = fetch_meta_text(client, config, url + ".sig");
  if (!signature) {
    return fail(msg::kCouldNotContactServer,
                format("{} refused: its signature {}.sig could not be fetched: {}", url, url, signature.error().detail()),
                place::kCdnSignatureFetch);
  }
  return accept_signed_meta(config, row.id, url, text, *signature, signing ? *signing : system_meta_signing());
}

Result<MetaLookup> fetch_under(platform::HttpClient& client, const InstallerConfig& config, const AppDescriptor& row,
                               std::string_view arch, const MetaSigningContext* signing) {
  auto directory = package_dir_url(config, row, arch);
  if (!directory) return std::unexpected(directory.error());
  const std::string url = *directory + "/meta.json";
  log::info(format("CDN meta URL for {}: {}", row.display_name, url));
  auto text = fetch_meta_text(client, config, url);
  if (!text) return std::unexpected(text.error());
  if (config.meta_signing_enabled) {
    if (auto signed_ok = check_signature(client, config, row, url, *text, signing); !signed_ok) {
      return std::unexpected(signed_ok.error());
    }
  }
  auto meta = parse_package_meta(*text);
  if (!meta) {
    return fail(msg::kCouldNotContactServer, format("unparseable {}: {}", url, meta.error()), place::kCdnUnparseable);
  }
  return MetaLookup{std::move(*meta), std::move(*directory)};
}
}  // namespace

std::string_view arch_segment(const AppDescriptor& row) { return row.universal_arch ? "universal" : "x64"; }

Result<std::string> package_dir_url(const InstallerConfig& config, const AppDescriptor& row, std::string_view arch) {
  const auto origin = cdn_base_host(config);
  if (!origin) {
    return fail(msg::kCouldNotContactServer,
                format("cdn.domains['{}'] is unset in installer_config.json \u2014 the installer has no CDN to "
                       "download from. Add that data centre to build/cdn/domains.json and re-run "
                       "build/sync_cdn_domains.",
                       config.cdn_data_center),
                place::kCdnNoOrigin);
  }
  // Inserted as configured: nothing is escaped or validated here.
  return join({*origin, config.cdn_distribution_root, config.cdn_apps_root, config.flavour, std::string(row.id),
               "windows", std::string(arch), std::string(row.format), config.cdn_release},
              "/");
}

Result<std::string> package_dir_url(const AppDescriptor& row, std::string_view arch) {
  return package_dir_url(load_installer_config(), row, arch);
}

Result<std::string> fetch_meta_text(platform::HttpClient& client, const InstallerConfig& config,
                                    const std::string& url) {
  platform::HttpRequest request = new_request(url, kMetaTimeoutSeconds);
  request.headers.emplace_back("Cache-Control", "no-cache");
  auto sent = client.send(request);
  if (!sent) return fail(msg::kCouldNotContactServer, sent.error().text, place::kCdnTransport);
  platform::HttpResponse& response = **sent;

  if (auto trusted = is_trusted_url(response.final_url(), "the metadata URL", config.trusted_download_domains);
      !trusted) {
    return std::unexpected(trusted.error());
  }
  const std::uint32_t status = response.status();
  if (status == 404) return fail(msg::kNotAvailableOnline, format("404 for {}", url), place::kCdnNotFound);
  if (status != 200) return fail(msg::kCouldNotContactServer, format("HTTP {} for {}", status, url), place::kCdnStatus);

  // A longer document is cut here and then fails to parse.
  std::string text(kMetaTextLimit, '\0');
  std::size_t filled = 0;
  while (filled < text.size()) {
    auto read = response.read(std::span<char>(text.data() + filled, text.size() - filled));
    if (!read) return fail(msg::kCouldNotContactServer, read.error().text, place::kCdnBodyRead);
    if (*read == 0) break;
    filled += *read;
  }
  text.resize(filled);
  if (!is_valid_utf8(text)) {
    return fail(msg::kCouldNotContactServer, format("the body of {} is not valid UTF-8", url), place::kCdnNotUtf8);
  }
  return text;
}

Result<MetaLookup> fetch_package_meta(platform::HttpClient& client, const InstallerConfig& config,
                                      std::string_view app_id, const MetaSigningContext* signing) {
  const AppDescriptor* row = app_by_id(app_id);
  if (!row) return fail(msg::kNotAvailableOnline, format("unknown app id '{}'", app_id), place::kCdnUnknownApp);
  const std::string_view first = arch_segment(*row);
  const std::string_view other = row->universal_arch ? "x64" : "universal";

  auto found = fetch_under(client, config, *row, first, signing);
  if (found) return found;
  auto second = fetch_under(client, config, *row, other, signing);
  if (!second) return found;
  log::warn(format("{} was NOT under the declared '{}' arch segment but IS under '{}'. The build's getdep properties "
                   "and this app's cdn_arch disagree \u2014 fix cdn_arch in common/apps and protocol/catalog.json.",
                   row->display_name, first, other));
  return second;
}

// The configuration is read afresh for every lookup, as for every URL the engine builds.
Result<std::string> fetch_meta_text(const std::string& url) {
  return fetch_meta_text(platform::system_http_client(), load_installer_config(), url);
}

Result<MetaLookup> fetch_package_meta(std::string_view app_id) {
  return fetch_package_meta(platform::system_http_client(), load_installer_config(), app_id);
}

}  // namespace yoxa
