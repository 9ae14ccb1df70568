#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/http_request.h"
#include "core/cancel_token.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/pause.h"
#include "platform/http.h"

namespace yoxa {

inline constexpr std::uint32_t kDownloadTimeoutSeconds = 600;
inline constexpr std::size_t kDownloadBufferBytes = 262144;

// Everything the downloader needs for one file. Paths are UTF-8.
struct DownloadRequest {
  std::string app_id;  // names the app in progress events
  std::string url;
  std::string temp_path;   // the partial file, resumed by the next call
  std::string final_path;  // receives the complete file, by rename
  std::vector<std::string> trusted_suffixes;
  EventSink sink;
  platform::HttpClient& client;
  RequestBuilder build_request = new_request;
  Pause sleep = real_pause;
};

// Streams the URL to the temp file (resuming it with a Range request), checks the
// size and renames it to the final path. Cancelled when the quit file disappears.
Result<void> download_to_file(const DownloadRequest& request, const CancelToken& cancel);

// One DOWNLOADING progress event: 5 to 70 percent, or indeterminate at 5 without a total.
void report_download_progress(const DownloadRequest& request, std::uint64_t downloaded, std::uint64_t total);

// Deletes a file if there is one; a failure is logged, never returned.
void remove_temp_file(const std::string& path);

}  // namespace yoxa
