#include "acquisition/bundled_dependencies.h"

#include <filesystem>
#include <system_error>

#include "core/log.h"
#include "core/messages.h"
#include "core/paths.h"
#include "core/places.h"
#include "core/text.h"
#include "platform/os_error.h"
#include "system/own_file.h"

namespace yoxa {

namespace {
constexpr BundledFramework kFrameworks[] = {
    {.identity = "Microsoft.VCLibs.140.00",
     .file_name = "Microsoft.VCLibs.140.00_x64.appx",
     .min_version = "14.0.33519.0",
     .token = "vclibs",
     .arch = "x64",
     .version = "14.0.33519.0"},
    {.identity = "Microsoft.VCLibs.140.00.UWPDesktop",
     .file_name = "Microsoft.VCLibs.140.00.UWPDesktop_x64.appx",
     .min_version = "14.0.33728.0",
     .token = "vclibs",
     .arch = "x64",
     .version = "14.0.33728.0"},
    {.identity = "Microsoft.WindowsAppRuntime.1.8",
     .file_name = "Microsoft.WindowsAppRuntime.1.8_x64.msix",
     .min_version = "8000.625.330.0",
     .token = "winappruntime",
     .arch = "x64",
     .version = "8000.625.330.0"},
};
}  // namespace

std::span<const BundledFramework> bundled_framework_table() { return kFrameworks; }

Result<PreparedDependencies> prepare_bundled_dependencies(const AppDescriptor& row, const std::string& staging_dir,
                                                          std::span<const BundledFramework> table) {
  PreparedDependencies prepared;
  if (row.installer_kind != InstallerKind::Msix) return prepared;
  const std::filesystem::path dir = path_from_utf8(staging_dir);
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) return fail(msg::kFilesystemError, platform::error_code_text(error), place::kOfflineFrameworkWrite);
  for (const BundledFramework& framework : table) {
    if (framework.payload.empty()) continue;
    const std::filesystem::path file = dir / path_from_utf8(framework.file_name);
    const std::string file_text = path_to_utf8(file);
    if (!std::filesystem::exists(file, error)) {
      const std::string_view payload(reinterpret_cast<const char*>(framework.payload.data()), framework.payload.size());
      if (write_own_file(file_text, payload)) return fail(msg::kFilesystemError, format("cannot write {}", file_text), place::kOfflineFrameworkWrite);
      log::info(format("Extracted bundled framework {}: {}", framework.identity, file_text));
    }
    if (framework.chained_installer) {
      prepared.chained_installers.push_back({file_text, std::string(framework.install_args)});
    } else {
      prepared.frameworks.push_back(
          {file_text, std::string(framework.identity), std::string(framework.min_version)});
    }
  }
  return prepared;
}

}  // namespace yoxa
