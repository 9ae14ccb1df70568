// Runs the engine's downloader once, for tests and the download benchmark:
//   download_tool URL TEMP FINAL QUITFILE [--trust SUFFIX]... [--cancel-after-bytes N] [--log DIR]
// Prints every event the downloader sent, one JSON line each, then a result line
// {"result": true} or {"result": false, "message": ..., "detail": ...}.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/download.h"
#include "core/paths.h"
#include "platform/http.h"
#include "platform/system.h"
#include "system/logger.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#endif

namespace {

using namespace yoxa;

// Deletes the quit file once `limit` body bytes have been read, as a cancelling
// launcher would, at an exact point of the transfer.
class CancellingResponse : public platform::HttpResponse {
 public:
  CancellingResponse(std::unique_ptr<platform::HttpResponse> inner, std::uint64_t limit, std::string quit_file)
      : inner_(std::move(inner)), limit_(limit), quit_file_(std::move(quit_file)) {}
  std::uint32_t status() const override { return inner_->status(); }
  std::optional<std::string> header(std::string_view name) const override { return inner_->header(name); }
  const std::string& final_url() const override { return inner_->final_url(); }
  std::expected<std::size_t, platform::HttpError> read(std::span<char> buffer) override {
    auto n = inner_->read(buffer);
    if (n) {
      read_ += *n;
      if (read_ >= limit_) {
        std::error_code ignored;
        std::filesystem::remove(path_from_utf8(quit_file_), ignored);
      }
    }
    return n;
  }

 private:
  std::unique_ptr<platform::HttpResponse> inner_;
  std::uint64_t limit_;
  std::string quit_file_;
  std::uint64_t read_ = 0;
};

class CancellingClient : public platform::HttpClient {
 public:
  CancellingClient(std::uint64_t limit, std::string quit_file) : limit_(limit), quit_file_(std::move(quit_file)) {}
  std::expected<std::unique_ptr<platform::HttpResponse>, platform::HttpError> send(
      const platform::HttpRequest& request) override {
    auto response = platform::system_http_client().send(request);
    if (!response) return response;
    return std::make_unique<CancellingResponse>(std::move(*response), limit_, quit_file_);
  }

 private:
  std::uint64_t limit_;
  std::string quit_file_;
};

}  // namespace

int run_tool(int argc, char** argv) {
  const std::vector<std::string> args = platform::command_line_arguments(argc, argv);
  if (args.size() < 4) {
    std::fprintf(stderr, "usage: download_tool URL TEMP FINAL QUITFILE [--trust SUFFIX]... "
                         "[--cancel-after-bytes N] [--log DIR]\n");
    return 2;
  }
  platform::prepare_standard_streams();
  std::vector<std::string> trusted;
  std::optional<std::uint64_t> cancel_after;
  for (std::size_t i = 4; i + 1 < args.size(); i += 2) {
    if (args[i] == "--trust") trusted.push_back(args[i + 1]);
    else if (args[i] == "--cancel-after-bytes") cancel_after = std::strtoull(args[i + 1].c_str(), nullptr, 10);
    else if (args[i] == "--log") (void)init_logger(args[i + 1]);
  }

  CancellingClient cancelling(cancel_after.value_or(0), args[3]);
  platform::HttpClient& client = cancel_after ? cancelling : platform::system_http_client();
  auto [sink, receiver] = make_event_channel();
  std::thread printer([r = std::move(receiver)]() mutable {
    while (auto text = r.receive()) platform::write_standard_output(*text + "\n");
  });
  Result<void> result = [&, events = std::move(sink)]() mutable {
    const DownloadRequest request{"quill", args[0], args[1], args[2], trusted, std::move(events), client};
    return download_to_file(request, CancelToken::quit_file(args[3]));
  }();
  printer.join();

  Json line = {{"result", result.has_value()}};
  if (!result) {
    line["message"] = result.error().message();
    line["detail"] = result.error().detail();
  }
  platform::write_standard_output(to_wire(line) + "\n");
#ifndef _WIN32
  // The benchmark reads the peak resident set from here: measured from outside,
  // the parent's image before exec would be counted too.
  std::ifstream status("/proc/self/status");
  for (std::string entry; std::getline(status, entry);) {
    if (entry.starts_with("VmHWM:")) platform::write_standard_error("peak " + entry + "\n");
  }
#else
  // The same line from the peak working set, for the Wine side of the benchmark.
  PROCESS_MEMORY_COUNTERS counters{};
  if (K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    std::fprintf(stderr, "peak VmHWM: %llu kB\n", static_cast<unsigned long long>(counters.PeakWorkingSetSize / 1024));
  }
#endif
  finish_logging();
  return result ? 0 : 1;
}

#ifdef _WIN32
int wmain(int argc, wchar_t**) { return run_tool(argc, nullptr); }
#else
int main(int argc, char** argv) { return run_tool(argc, argv); }
#endif
