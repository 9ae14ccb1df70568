#include "acquisition/staging_paths.h"

#include <filesystem>
#include <system_error>

#include "core/messages.h"
#include "core/paths.h"
#include "core/places.h"
#include "core/text.h"
#include "platform/os_error.h"

namespace yoxa {

namespace fs = std::filesystem;

bool is_safe_version_for_file_name(std::string_view version) {
  // Empty is allowed: a meta.json without a version stages "installer-v.msi".
  if (!is_valid_utf8(version)) return false;
  if (version.find("..") != std::string_view::npos) return false;
  for (std::size_t i = 0; i < version.size(); ++i) {
    const auto byte = static_cast<unsigned char>(version[i]);
    if (byte < 0x20 || byte == 0x7F) return false;
    if (std::string_view("<>:\"/\\|?*").find(version[i]) != std::string_view::npos) return false;
    // U+0080..U+009F, the C1 controls.
    if (byte == 0xC2 && i + 1 < version.size() && static_cast<unsigned char>(version[i + 1]) <= 0x9F) return false;
  }
  return true;
}

Result<void> check_version_for_file_name(std::string_view version) {
  if (is_safe_version_for_file_name(version)) return {};
  return fail(msg::kVerificationFailed,
              format("Package version '{}' cannot be used in a file name", printable(version)), place::kStagingUnsafeVersion);
}

std::string staging_directory(const std::string& staging_base) {
  return path_to_utf8(path_from_utf8(staging_base) / "installer");
}

Result<StagingPaths> staging_paths(const std::string& staging_base, std::string_view version,
                                   std::string_view format_name) {
  if (auto safe = check_version_for_file_name(version); !safe) return std::unexpected(safe.error());
  const fs::path directory = path_from_utf8(staging_directory(staging_base));
  std::error_code error;
  // With its parents: a fresh machine may not have the base yet.
  fs::create_directories(directory, error);
  if (error) return fail(msg::kFilesystemError, platform::error_code_text(error), place::kStagingStagingCreate);
  const std::string name = format("installer-v{}.{}", version, format_name);
  const std::string final_path = path_to_utf8(directory / path_from_utf8(name));
  return StagingPaths{final_path, final_path + ".tmp"};
}

}  // namespace yoxa
