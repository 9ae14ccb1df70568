#pragma once
#include <string>
#include <string_view>

#include "acquisition/package_meta.h"
#include "config/installer_config.h"
#include "core/app_table.h"
#include "core/error.h"
#include "platform/http.h"

namespace yoxa {

inline constexpr std::size_t kMetaTextLimit = 262144;

// A parsed meta.json and the package directory it was found in.
struct MetaLookup {
  PackageMeta meta;
  std::string directory_url;
};

// "universal" for apps published once for every architecture, else "x64".
std::string_view arch_segment(const AppDescriptor& row);

// origin/distributionRoot/appsRoot/flavour/app/windows/arch/format/release.
Result<std::string> package_dir_url(const InstallerConfig& config, const AppDescriptor& row, std::string_view arch);
Result<std::string> package_dir_url(const AppDescriptor& row, std::string_view arch);

// One uncached GET of a small metadata document (meta.json, release-notes.json),
// at most 256 KiB of UTF-8, from a trusted final URL.
Result<std::string> fetch_meta_text(platform::HttpClient& client, const InstallerConfig& config,
                                    const std::string& url);
Result<std::string> fetch_meta_text(const std::string& url);

// meta.json of an app, tried under its declared arch segment and then once under the other.
// When the configuration names signing keys, each document is accepted only with a valid
// meta.json.sig beside it (acquisition/signed_meta.h), judged with `signing` or, when none
// is given, the machine's sequence store and clock.
struct MetaSigningContext;
Result<MetaLookup> fetch_package_meta(platform::HttpClient& client, const InstallerConfig& config,
                                      std::string_view app_id, const MetaSigningContext* signing = nullptr);
Result<MetaLookup> fetch_package_meta(std::string_view app_id);

}  // namespace yoxa
