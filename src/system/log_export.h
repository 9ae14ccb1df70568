#pragma once
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "core/error.h"
#include "system/compatibility.h"
#include "system/log_sources.h"

namespace yoxa {

// Copies one log file; the bytes copied, or the error text.
using LogFileCopier =
    std::function<std::expected<std::uint64_t, std::string>(const std::filesystem::path& from,
                                                            const std::filesystem::path& to)>;
std::expected<std::uint64_t, std::string> copy_log_file(const std::filesystem::path& from,
                                                        const std::filesystem::path& to);

std::expected<std::uint64_t, std::string> archive_file_size(const std::string& path);

// Everything log export asks of the machine. Production defaults; tests replace any member.
struct LogExportHost {
  EnvironmentLookup environment;
  std::function<std::string()> temp_directory;
  std::function<std::uint32_t()> process_id;
  DirectoryLister list_directory = list_directory_entries;
  LogFileCopier copy_file = copy_log_file;
  std::function<std::string()> date_time;
  std::function<bool()> elevated;
  std::function<Result<std::uint32_t>()> windows_build;
  std::function<ProcessorArch()> processor_architecture;
  std::function<Result<std::string>(const std::string& script, std::uint32_t limit_seconds)> powershell;
  // The size of the regular file at a path, or why there is none.
  std::function<std::expected<std::uint64_t, std::string>(const std::string& path)> archive_size = archive_file_size;

  LogExportHost();
};

inline constexpr std::uint32_t kLogExportLimitSeconds = 120;

// "<temp>\YoxaOffice-logexport-<pid>": where the bundle is put together.
std::string log_export_staging_folder(const std::string& temp_directory, std::uint32_t process_id);

// Writes error-summary.txt into `staging`: every [WARN/[ERROR line of the staged
// *installer.log files. Returns the number of lines kept and files digested.
struct DigestCount {
  std::uint64_t lines = 0;
  std::size_t files = 0;
};
std::expected<DigestCount, std::string> write_error_digest(const std::filesystem::path& staging);

// Collects every log folder into a zip (on the Desktop unless `out_dir` names a
// directory) and returns the zip's path.
Result<std::string> export_logs(const std::optional<std::string>& out_dir, const LogExportHost& host);
Result<std::string> export_logs(const std::optional<std::string>& out_dir);

}  // namespace yoxa
