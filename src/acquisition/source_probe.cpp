#include "acquisition/source_probe.h"

#include "acquisition/http_request.h"
#include "acquisition/url_trust.h"
#include "core/text.h"
#include "core/log.h"

namespace yoxa {

namespace {
constexpr std::uint32_t kProbeTimeoutSeconds = 8;

}  // namespace

std::optional<Retirement> probe_source_unavailable(platform::HttpClient& client, const InstallerConfig& config) {
  const std::string& url = config.download_page_url;
  if (auto https = require_https(url, "the download-page URL"); !https) {
    log::error(format("cannot probe for retirement: downloadPageUrl is not https ({}). Fix it in installer_config.json "
                      "\u2014 build refuses to compile this state, so a build reaching here was made before that guard "
                      "existed.",
                      https.error().full_text()));
    return std::nullopt;
  }
  // The page only has to answer; its status and body do not matter.
  const auto response = client.send(new_request(url, kProbeTimeoutSeconds));
  if (!response) {
    log::info(format("a package lookup failed, but the control probe of {} also failed ({}) \u2014 this is the "
                     "machine's connection, not a retired CDN",
                     url, response.error().text));
    return std::nullopt;
  }
  log::warn(format("a package lookup returned 'not found' while {} is reachable \u2014 the CDN tree this installer "
                   "was built against is gone",
                   url));
  return Retirement{"source-unavailable", url, std::nullopt};
}

void note_not_found() {
  source_verdict_cell().note([] { return probe_source_unavailable(platform::system_http_client(), load_installer_config()); });
}

}  // namespace yoxa
