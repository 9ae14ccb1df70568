#pragma once
// Framework packages an offline build carries for its MSIX apps, written out to the
// staging directory when an MSIX app is installed offline.
#include <span>
#include <string>
#include <string_view>

#include "acquisition/package_provider.h"
#include "core/app_table.h"

namespace yoxa {

struct BundledFramework {
  std::string_view identity{};
  std::string_view file_name{};
  std::string_view min_version{};
  std::string_view install_args{};
  bool chained_installer = false;
  std::span<const unsigned char> payload{};  // empty: not carried by this build
  std::string_view token{};    // what the missing-framework report names; rows may share one
  std::string_view arch{};
  std::string_view version{};  // of the carried payload
};

// The compiled-in table, in report order; no row carries a payload in this build.
std::span<const BundledFramework> bundled_framework_table();

// Non-MSIX apps need nothing. Rows without a payload are skipped; a payload already
// written out by an earlier run is used as it is.
Result<PreparedDependencies> prepare_bundled_dependencies(
    const AppDescriptor& row, const std::string& staging_dir,
    std::span<const BundledFramework> table = bundled_framework_table());

}  // namespace yoxa
