#include "acquisition/download.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <span>
#include <system_error>

#include "acquisition/url_trust.h"
#include "core/messages.h"
#include "core/places.h"
#include "core/paths.h"
#include "core/text.h"
#include "core/log.h"
#include "platform/os_error.h"
#include "platform/system.h"

namespace yoxa {

namespace {
namespace fs = std::filesystem;


constexpr int kRenameAttempts = 3;
constexpr std::uint64_t kMiB = 1024 * 1024;

std::string errno_text(int code) { return format("{} (os error {})", std::generic_category().message(code), code); }

// The partial file with a fixed 256 KiB buffer in front of it, so memory use does
// not grow with the package. Closing (or destroying) it writes the buffer out, so a
// cancelled or failed download keeps every byte it received for the next resume.
class OutputFile {
 public:
  static std::expected<OutputFile, std::string> open(const std::string& utf8_path, bool append) {
    std::FILE* file = platform::open_file(utf8_path, append ? "ab" : "wb");
    if (!file) return std::unexpected(errno_text(errno));
    std::setvbuf(file, nullptr, _IONBF, 0);
    return OutputFile(file);
  }

  OutputFile(OutputFile&& other) noexcept
      : file_(std::exchange(other.file_, nullptr)), buffer_(std::move(other.buffer_)), used_(other.used_) {}
  OutputFile& operator=(OutputFile&& other) noexcept {
    if (this != &other) {
      (void)close();
      file_ = std::exchange(other.file_, nullptr);
      buffer_ = std::move(other.buffer_);
      used_ = other.used_;
    }
    return *this;
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { (void)close(); }

  std::expected<void, std::string> write(std::span<const char> bytes) {
    if (used_ + bytes.size() > kDownloadBufferBytes) {
      if (auto drained = drain(); !drained) return drained;
    }
    if (bytes.size() >= kDownloadBufferBytes) return put(bytes);
    std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
    return {};
  }

  // Writes the buffer out and closes the file; the first failure is returned.
  std::expected<void, std::string> close() {
    if (!file_) return {};
    auto drained = drain();
    const int closed = std::fclose(std::exchange(file_, nullptr));
    const int close_error = errno;
    if (!drained) return drained;
    if (closed != 0) return std::unexpected(errno_text(close_error));
    return {};
  }

 private:
  explicit OutputFile(std::FILE* file) : file_(file), buffer_(std::make_unique<char[]>(kDownloadBufferBytes)) {}

  std::expected<void, std::string> put(std::span<const char> bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) return std::unexpected(errno_text(errno));
    return {};
  }
  std::expected<void, std::string> drain() {
    if (used_ == 0) return {};
    auto written = put({buffer_.get(), used_});
    used_ = 0;
    return written;
  }

  std::FILE* file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

std::uint64_t resume_offset(const std::string& temp_path) {
  const fs::path path = path_from_utf8(temp_path);
  std::error_code error;
  if (!fs::exists(path, error) && !error) return 0;
  std::uint64_t size = 0;
  if (!error) size = fs::file_size(path, error);
  if (error) {
    log::warn(format("Failed to read temp file meta: {}", platform::error_code_text(error)));
    remove_temp_file(temp_path);
    return 0;
  }
  log::info(format("Found partial download, resuming from byte: {}", size));
  return size;
}

// content-length as an unsigned decimal; 0 (unknown) when absent or not a number.
std::uint64_t content_length(const platform::HttpResponse& response) {
  const auto header = response.header("content-length");
  if (!header) return 0;
  std::string_view text = *header;
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return 0;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  return value;
}

Result<OutputFile> open_temp(const std::string& temp_path, bool append) {
  auto file = OutputFile::open(temp_path, append);
  if (!file) return fail(msg::kFilesystemError, file.error(), place::kDownloadOpen);
  return std::move(*file);
}

// Sends the GET for the bytes from `offset` on. On a transport failure or an
// untrusted redirect the partial file is closed and removed.
Result<std::unique_ptr<platform::HttpResponse>> send_from(const DownloadRequest& request, std::uint64_t offset,
                                                         OutputFile& file) {
  platform::HttpRequest http = request.build_request(request.url, kDownloadTimeoutSeconds);
  if (offset > 0) {
    http.headers.emplace_back("Range", format("bytes={}-", offset));
    log::info(format("Requesting range: bytes={}-", offset));
  }
  auto response = request.client.send(http);
  if (!response) {
    (void)file.close();
    remove_temp_file(request.temp_path);
    return fail(msg::kDownloadFailed, response.error().text, place::kDownloadTransport);
  }
  if (auto trusted = is_trusted_url((*response)->final_url(), "a download redirect", request.trusted_suffixes);
      !trusted) {
    response->reset();
    (void)file.close();
    remove_temp_file(request.temp_path);
    return std::unexpected(trusted.error());
  }
  return std::move(*response);
}

// Copies the body into the file; returns the byte count including the resumed part.
Result<std::uint64_t> stream_body(const DownloadRequest& request, const CancelToken& cancel,
                                  platform::HttpResponse& response, OutputFile& file, std::uint64_t offset,
                                  std::uint64_t total) {
  const auto buffer = std::make_unique<char[]>(kDownloadBufferBytes);
  std::uint64_t downloaded = offset;
  for (std::uint64_t chunk = 0;; ++chunk) {
    if (cancel.cancelled()) return std::unexpected(Error::same(msg::kUserCancelled, place::kDownloadCancelled));
    auto read = response.read(std::span<char>(buffer.get(), kDownloadBufferBytes));
    if (!read) return fail(msg::kDownloadFailed, read.error().text, place::kDownloadRead);
    if (*read == 0) return downloaded;
    if (auto written = file.write({buffer.get(), *read}); !written) {
      return fail(msg::kDownloadFailed, written.error(), place::kDownloadWrite);
    }
    downloaded += *read;
    if (chunk % 4 == 0) report_download_progress(request, downloaded, total);
    if (chunk % 20 == 0) log::info(format("Downloaded {} MB", downloaded / kMiB));
  }
}

Result<void> move_into_place(const DownloadRequest& request) {
  const fs::path from = path_from_utf8(request.temp_path);
  const fs::path to = path_from_utf8(request.final_path);
  std::error_code error;
  for (int attempt = 1; attempt <= kRenameAttempts; ++attempt) {
    fs::rename(from, to, error);
    if (!error) return {};
    log::warn(format("Attempt {} to rename file failed: {}", attempt, platform::error_code_text(error)));
    if (attempt < kRenameAttempts) request.sleep(std::chrono::seconds(5 << (attempt - 1)));
  }
  return fail(msg::kFilesystemError, format("{}: {}", platform::error_code_text(error), request.temp_path), place::kDownloadRename);
}
}  // namespace

Result<void> download_to_file(const DownloadRequest& request, const CancelToken& cancel) {
  log::info("Installer download initiated");
  if (auto trusted = is_trusted_url(request.url, "the download URL", request.trusted_suffixes); !trusted) {
    return std::unexpected(trusted.error());
  }

  std::uint64_t offset = resume_offset(request.temp_path);
  auto file = open_temp(request.temp_path, offset > 0);
  if (!file) return std::unexpected(file.error());
  auto response = send_from(request, offset, *file);
  if (!response) return std::unexpected(response.error());

  if (offset != 0 && (*response)->status() != 206) {
    log::warn(format("Resume from byte {} not honored (HTTP {}); discarding the partial file and restarting the "
                     "download from the beginning",
                     offset, (*response)->status()));
    response->reset();
    (void)file->close();
    remove_temp_file(request.temp_path);
    offset = 0;
    file = open_temp(request.temp_path, false);
    if (!file) return std::unexpected(file.error());
    response = send_from(request, 0, *file);
    if (!response) return std::unexpected(response.error());
  }

  // Any status's body is kept: a wrong body fails verification later.
  std::uint64_t total = content_length(**response);
  if (total != 0 && (*response)->status() == 206 && offset != 0) {
    // A length that overflows with the offset is no usable length.
    total = total > std::numeric_limits<std::uint64_t>::max() - offset ? 0 : total + offset;
  }
  log::info(format("Total download size: {} bytes, starting from: {} bytes", total, offset));

  const auto downloaded = stream_body(request, cancel, **response, *file, offset, total);
  if (!downloaded) return std::unexpected(downloaded.error());
  report_download_progress(request, *downloaded, total);
  if (total != 0 && *downloaded != total) {
    return fail(msg::kDownloadFailed, format("Download size mismatch: ({}, {})", *downloaded, total), place::kDownloadSize);
  }
  if (auto closed = file->close(); !closed) return fail(msg::kFilesystemError, closed.error(), place::kDownloadFlush);
  response->reset();

  if (auto moved = move_into_place(request); !moved) return moved;
  log::info("File download and save completed");
  return {};
}

void report_download_progress(const DownloadRequest& request, std::uint64_t downloaded, std::uint64_t total) {
  if (total == 0) {
    request.sink.progress(request.app_id, 5, true, "DOWNLOADING", Json{{"downloadedBytes", downloaded}});
    return;
  }
  const float ratio = std::min(static_cast<float>(downloaded) / static_cast<float>(total), 1.0f);
  const auto percent = 5 + static_cast<std::uint64_t>(ratio * 65.0f);
  request.sink.progress(request.app_id, percent, false, "DOWNLOADING",
                        Json{{"downloadedBytes", downloaded}, {"totalBytes", total}});
}

void remove_temp_file(const std::string& path) {
  const fs::path native = path_from_utf8(path);
  std::error_code error;
  const fs::file_status status = fs::status(native, error);
  if (!fs::exists(status) || fs::is_directory(status)) return;
  if (!fs::remove(native, error) && error) {
    log::warn(format("Failed to remove temp file '{}': {}", path, platform::error_code_text(error)));
  }
}

}  // namespace yoxa
