#pragma once
// Framework packages and runtime installers an MSIX app's meta.json lists, downloaded from
// the app's CDN directory into the staging directory when this machine lacks them.
#include <string>
#include <string_view>

#include "acquisition/package_provider.h"

namespace yoxa {

// Whether a meta.json `destination` can name a file inside the staging directory: one plain
// file name, with no path separator, "..", drive colon or character Windows refuses.
bool is_safe_dependency_file_name(std::string_view name);

// Non-MSIX apps need nothing. A failed meta.json, an unusable record, a failed download or
// a checksum mismatch only leave that dependency out; only the staging directory fails it.
Result<PreparedDependencies> prepare_online_dependencies(const PackageHost& host, const AppDescriptor& app,
                                                         const std::string& staging_dir, const EventSink& sink,
                                                         const CancelToken& cancel);

}  // namespace yoxa
