#pragma once
#include <optional>

#include "config/installer_config.h"
#include "config/source_verdict.h"
#include "core/retirement.h"
#include "platform/http.h"

namespace yoxa {

// One GET of the download page after a package lookup came back "not found": any
// answer means the machine is online, so the CDN tree is gone (source-unavailable);
// a transport failure or a non-https page gives no verdict.
std::optional<Retirement> probe_source_unavailable(platform::HttpClient& client, const InstallerConfig& config);

// A package lookup returned 404: probe once per process.
void note_not_found();

}  // namespace yoxa
