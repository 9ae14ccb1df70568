#include "system/log_export.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <system_error>
#include <vector>

#include "core/messages.h"
#include "core/paths.h"
#include "core/text.h"
#include "system/command_runner.h"
#include "platform/os_error.h"
#include "platform/security.h"
#include "platform/system.h"
#include "system/detection.h"
#include "core/log.h"
#include "core/places.h"
#include "system/logger.h"
#include "system/own_file.h"

namespace yoxa {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kDigestHeader =
    "Yoxa Office Apps Installer \u2014 WARN/ERROR digest\n"
    "===============================================\n\n"
    "Every [WARN]/[ERROR] line from the *installer.log files in this bundle, in file order.\n"
    "This is a digest for triage \u2014 the complete logs are alongside it.\n";
constexpr std::string_view kNoLines = "\nNo WARN or ERROR lines were logged.\n";

// Checks UTF-8 a byte at a time, so a log of any size is judged without holding it.
class Utf8Checker {
 public:
  void feed(unsigned char byte) {
    if (!valid_) return;
    if (need_ == 0) {
      if (byte < 0x80) return;
      lo_ = 0x80;
      hi_ = 0xBF;
      if (byte >= 0xC2 && byte <= 0xDF) {
        need_ = 1;
      } else if (byte >= 0xE0 && byte <= 0xEF) {
        need_ = 2;
        if (byte == 0xE0) lo_ = 0xA0;  // overlong
        if (byte == 0xED) hi_ = 0x9F;  // surrogates
      } else if (byte >= 0xF0 && byte <= 0xF4) {
        need_ = 3;
        if (byte == 0xF0) lo_ = 0x90;  // overlong
        if (byte == 0xF4) hi_ = 0x8F;  // beyond U+10FFFF
      } else {
        valid_ = false;
      }
      return;
    }
    if (byte < lo_ || byte > hi_) {
      valid_ = false;
      return;
    }
    --need_;
    lo_ = 0x80;
    hi_ = 0xBF;
  }
  bool valid_at_end() const { return valid_ && need_ == 0; }

 private:
  bool valid_ = true;
  int need_ = 0;
  unsigned char lo_ = 0x80;
  unsigned char hi_ = 0xBF;
};

// Streams a log through, keeping the lines that begin with "[WARN" or "[ERROR" (a CR
// before the LF dropped). Kept lines go to `out` when given. The number of kept lines,
// or none when the file cannot be read or is not UTF-8.
std::optional<std::uint64_t> scan_log(const fs::path& path, std::ostream* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  enum class State : std::uint8_t { Undecided, Keep, Skip };
  State state = State::Undecided;
  std::string head;
  bool pending_cr = false;
  std::uint64_t kept = 0;
  Utf8Checker utf8;
  const auto end_line = [&] {
    if (state == State::Keep) {
      ++kept;
      if (out) out->put('\n');
    }
    state = State::Undecided;
    head.clear();
    pending_cr = false;
  };
  std::array<char, 1 << 16> buffer{};
  while (in) {
    in.read(buffer.data(), buffer.size());
    const std::streamsize got = in.gcount();
    for (std::streamsize i = 0; i < got; ++i) {
      const char c = buffer[static_cast<std::size_t>(i)];
      utf8.feed(static_cast<unsigned char>(c));
      if (c == '\n') {
        end_line();
        continue;
      }
      switch (state) {
        case State::Skip: break;
        case State::Undecided:
          head += c;
          if (head == "[WARN" || head == "[ERROR") {
            state = State::Keep;
            if (out) *out << head;
          } else if (!starts_with("[WARN", head) && !starts_with("[ERROR", head)) {
            state = State::Skip;
          }
          break;
        case State::Keep:
          if (pending_cr && out) out->put('\r');
          pending_cr = c == '\r';
          if (!pending_cr && out) out->put(c);
          break;
      }
    }
  }
  if (in.bad()) return std::nullopt;
  end_line();  // the text after the last line feed is a line too
  if (!utf8.valid_at_end()) return std::nullopt;
  return kept;
}

std::string os_error_text(const std::error_code& error) { return error.message(); }

constexpr const char* kNoOutputPath = "Compress-Archive reported no output path";

struct Collected {
  std::vector<std::string> manifest_lines;
  std::size_t files = 0;
};

Collected collect(const std::vector<LogSource>& sources, const fs::path& staging, const LogExportHost& host) {
  Collected collected;
  for (const LogSource& source : sources) {
    const auto listed = host.list_directory(source.directory);
    if (!listed) {
      collected.manifest_lines.push_back(
          listed.error().missing
              ? format("[skipped] {} ({}) \u2014 directory does not exist", source.directory, source.description)
              : format("[skipped] {} ({}) \u2014 could not read: {}", source.directory, source.description,
                       listed.error().text));
      continue;
    }
    std::size_t copied = 0;
    for (const DirectoryEntry& entry : *listed) {
      if (!entry.is_file || !entry.name) continue;
      const std::string staged_name = source.label + "-" + *entry.name;
      const std::string source_path = path_to_utf8(entry.path);
      const auto bytes = host.copy_file(entry.path, staging / path_from_utf8(staged_name));
      if (!bytes) {
        collected.manifest_lines.push_back(format("[skipped] {} \u2014 copy failed: {}", source_path, bytes.error()));
        continue;
      }
      collected.manifest_lines.push_back(format("[included] {} -> {} ({} bytes)", source_path, staged_name, *bytes));
      ++copied;
    }
    if (copied == 0) {
      collected.manifest_lines.push_back(format("[empty] {} ({}) \u2014 no files", source.directory, source.description));
    }
    collected.files += copied;
  }
  return collected;
}

std::string manifest_text(const Collected& collected, const LogExportHost& host) {
  std::string text =
      "Yoxa Office Apps Installer \u2014 log bundle\n"
      "=========================================\n\n";
  text += format("Collected:        {}\n", host.date_time());
  text += "Engine version:   0.0.0\n";
  text += "Config dir name:  YoxaOffice\n";
  text += format("Elevated export:  {}\n", host.elevated());
  text += format("Files included:   {}\n", collected.files);
  if (const auto build = host.windows_build()) text += format("Windows build:    {}\n", *build);
  text += format("Architecture:     {}\n", display_text(host.processor_architecture()));
  text += "\nSources\n-------\n";
  for (const std::string& line : collected.manifest_lines) text += line + "\n";
  return text;
}

std::expected<void, std::string> write_text_file(const fs::path& path, std::string_view text) {
  if (write_own_file(path_to_utf8(path), text)) return std::unexpected(format("cannot write {}", path_to_utf8(path)));
  return {};
}

std::string zip_script(const std::optional<std::string>& out_dir, const std::string& staging) {
  const std::string destination = out_dir && !out_dir->empty() && is_valid_utf8(*out_dir)
                                      ? "'" + powershell_quote(*out_dir) + "'"
                                      : "[Environment]::GetFolderPath('Desktop')";
  return format(
      "$dest = {}; if ([string]::IsNullOrWhiteSpace($dest)) { $dest = $env:USERPROFILE } New-Item -ItemType "
      "Directory -Force -Path $dest | Out-Null; $zip = Join-Path $dest ('YoxaOfficeInstaller-logs-' + (Get-Date "
      "-Format 'yyyyMMdd-HHmmss') + '.zip'); Microsoft.PowerShell.Archive\\Compress-Archive -Path '{}\\*' "
      "-DestinationPath $zip -CompressionLevel Optimal -Force; Write-Output $zip",
      destination, powershell_quote(staging));
}

// The last line of the output that is not blank, trimmed.
std::optional<std::string> last_output_line(std::string_view output) {
  const std::vector<std::string> lines = split(output, '\n');
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    const std::string_view trimmed = trim(*line);
    if (!trimmed.empty()) return std::string(trimmed);
  }
  return std::nullopt;
}

Result<std::string> export_into(const fs::path& staging, const std::optional<std::string>& out_dir,
                                const LogExportHost& host) {
  std::error_code error;
  fs::remove_all(staging, error);
  fs::create_directories(staging, error);
  if (error) return fail(msg::kFilesystemError, os_error_text(error), place::kExportStagingCreate);

  const std::string staging_text = path_to_utf8(staging);
  const auto sources = log_sources({host.environment, host.temp_directory(), staging_text, host.list_directory});
  const Collected collected = collect(sources, staging, host);

  if (const auto digest = write_error_digest(staging)) {
    log::info(format("Log bundle error summary: {} WARN/ERROR line(s) across {} file(s)", digest->lines,
                     digest->files));
  } else {
    log::warn(format("Could not write the log-bundle error summary: {}", digest.error()));
  }
  if (auto written = write_text_file(staging / "manifest.txt", manifest_text(collected, host)); !written) {
    log::warn(format("Could not write log-bundle manifest: {}", written.error()));
  }

  if (!is_valid_utf8(staging_text)) return fail(msg::kFilesystemError, msg::kFilesystemError, place::kExportStagingPath);
  const auto output = host.powershell(zip_script(out_dir, staging_text), kLogExportLimitSeconds);
  if (!output) return std::unexpected(output.error());
  auto zip = last_output_line(*output);
  if (!zip) return fail(kNoOutputPath, kNoOutputPath, place::kExportNoOutputPath);
  // Windows PowerShell goes on after a failed Compress-Archive and still prints the path:
  // only a zip that is there and not empty may take the place of the staged logs.
  const auto size = host.archive_size(*zip);
  if (!size || *size == 0) {
    return fail(kNoOutputPath,
                format("the reported archive {} was not written: {}", printable(*zip), size ? "it is empty" : size.error()),
                place::kExportNoArchive);
  }

  fs::remove_all(staging, error);
  log::info(format("Exported {} log file(s) to {}", collected.files, *zip));
  return std::move(*zip);
}

}  // namespace

LogExportHost::LogExportHost()
    : environment(platform::environment_variable),
      temp_directory([] { return platform::temp_directory(); }),
      process_id([] { return platform::current_process_id(); }),
      date_time([] { return system_date_time(); }),
      elevated([] { return platform::is_elevated(); }),
      windows_build([] { return yoxa::windows_build(); }),
      processor_architecture([] { return yoxa::processor_architecture(); }),
      powershell([](const std::string& script, std::uint32_t limit) { return run_powershell(script, limit); }) {}

std::expected<std::uint64_t, std::string> copy_log_file(const fs::path& from, const fs::path& to) {
  std::error_code error;
  if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, error)) {
    return std::unexpected(error ? error.message() : std::string("not copied"));
  }
  const auto size = fs::file_size(to, error);
  if (error) return std::unexpected(error.message());
  return size;
}

std::expected<std::uint64_t, std::string> archive_file_size(const std::string& path) {
  if (!is_valid_utf8(path)) return std::unexpected(std::string("the path is not valid Unicode"));
  std::error_code error;
  const fs::path file = path_from_utf8(path);
  const fs::file_status status = fs::status(file, error);
  if (status.type() == fs::file_type::not_found) return std::unexpected(std::string("there is no such file"));
  if (error) return std::unexpected(platform::error_code_text(error));
  if (!fs::is_regular_file(status)) return std::unexpected(std::string("it is not a file"));
  const auto size = fs::file_size(file, error);
  if (error) return std::unexpected(platform::error_code_text(error));
  return size;
}

std::string log_export_staging_folder(const std::string& temp_directory, std::uint32_t process_id) {
  return path_to_utf8(path_from_utf8(temp_directory) / ("YoxaOffice-logexport-" + std::to_string(process_id)));
}

std::expected<DigestCount, std::string> write_error_digest(const fs::path& staging) {
  const auto listed = list_directory_entries(path_to_utf8(staging));
  if (!listed) return std::unexpected(listed.error().text);
  std::vector<const DirectoryEntry*> logs;
  for (const DirectoryEntry& entry : *listed) {
    if (entry.is_file && entry.name && entry.name->ends_with("installer.log")) logs.push_back(&entry);
  }
  std::ranges::sort(logs, {}, &DirectoryEntry::path);

  const fs::path summary = staging / "error-summary.txt";
  std::ofstream out(summary, std::ios::binary | std::ios::trunc);
  if (!out) return std::unexpected(format("cannot create {}", path_to_utf8(summary)));
  out << kDigestHeader;
  DigestCount count;
  for (const DirectoryEntry* log : logs) {
    // A first pass counts (the section heading carries the count); the second copies the lines.
    const auto kept = scan_log(log->path, nullptr);
    if (!kept) continue;
    ++count.files;
    if (*kept == 0) continue;
    out << format("\n--- {} ({} line(s)) ---\n", log->name.value_or("?"), *kept);
    count.lines += scan_log(log->path, &out).value_or(0);
  }
  if (count.lines == 0) out << kNoLines;
  out.flush();
  if (!out) return std::unexpected(format("cannot write {}", path_to_utf8(summary)));
  return count;
}

Result<std::string> export_logs(const std::optional<std::string>& out_dir, const LogExportHost& host) {
  const fs::path staging = path_from_utf8(log_export_staging_folder(host.temp_directory(), host.process_id()));
  auto exported = export_into(staging, out_dir, host);
  if (!exported) log::error(format("Log export failed: {}", exported.error().full_text()));
  return exported;
}

Result<std::string> export_logs(const std::optional<std::string>& out_dir) {
  return export_logs(out_dir, LogExportHost{});
}

}  // namespace yoxa
