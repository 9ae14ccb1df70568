#include "platform/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "core/text.h"

// libcurl through its multi interface: send() drives the transfer until the final
// response's headers are in, read() drives it again until the caller's buffer is full.
// Nothing runs between calls, and a chunk that does not fit the caller's buffer is
// either kept (at most one curl buffer) or refused with a pause, so memory stays
// bounded however large the body is.

namespace yoxa::platform {

namespace {

using Clock = std::chrono::steady_clock;

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using Multi = std::unique_ptr<CURLM, MultiDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

void initialise_curl_once() {
  [[maybe_unused]] static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
}

std::string cause_of(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return "timed out";
    case CURLE_COULDNT_CONNECT: return "cannot connect";
    case CURLE_COULDNT_RESOLVE_HOST: return "host not found";
    case CURLE_COULDNT_RESOLVE_PROXY: return "proxy not found";
    case CURLE_TOO_MANY_REDIRECTS: return "too many redirects";
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT: return "invalid URL";
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_SHUTDOWN_FAILED: return "TLS failure";
    default: return "transfer failed";
  }
}

bool is_redirect(std::uint32_t status) { return status >= 300 && status < 400; }

bool has_line_break(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

class CurlResponse final : public HttpResponse {
 public:
  explicit CurlResponse(std::uint32_t timeout_seconds) : timeout_(std::max<std::uint32_t>(timeout_seconds, 1)) {}

  ~CurlResponse() override {
    // In this order, while the header list and error buffer the easy handle points to still live.
    if (multi_ && easy_) curl_multi_remove_handle(multi_.get(), easy_.get());
    easy_.reset();
    multi_.reset();
  }

  std::expected<void, HttpError> start(const HttpRequest& request) {
    for (const auto& [name, value] : request.headers) {
      if (name.empty() || has_line_break(name) || has_line_break(value) || name.find(':') != std::string::npos)
        return std::unexpected(HttpError{format("invalid request header: {}", name)});
      curl_slist* longer = curl_slist_append(headers_out_.get(), (name + ": " + value).c_str());
      if (!longer) return std::unexpected(HttpError{"out of memory"});
      static_cast<void>(headers_out_.release());
      headers_out_.reset(longer);
    }
    easy_.reset(curl_easy_init());
    multi_.reset(curl_multi_init());
    if (!easy_ || !multi_) return std::unexpected(HttpError{"cannot create a curl handle"});
    CURL* easy = easy_.get();
    error_buffer_[0] = '\0';
    const long seconds = static_cast<long>(timeout_.count());
    const std::string proxy = request.proxy.value_or("");
    const bool ok =
        set(easy, CURLOPT_URL, request.url.c_str()) && set(easy, CURLOPT_HTTPGET, 1L) &&
        set(easy, CURLOPT_ERRORBUFFER, error_buffer_) && set(easy, CURLOPT_NOSIGNAL, 1L) &&
        // HTTP/1.1 like WinHTTP, and because a paused HTTP/2 stream may keep
        // receiving into curl's buffers up to its large window.
        set(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) &&
        set(easy, CURLOPT_FOLLOWLOCATION, 1L) && set(easy, CURLOPT_MAXREDIRS, 100L) &&
        // Plain http is followed too: the caller sees the final URL and refuses it.
        set(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") && set(easy, CURLOPT_PROTOCOLS_STR, "http,https") &&
        set(easy, CURLOPT_SSL_VERIFYPEER, 1L) && set(easy, CURLOPT_SSL_VERIFYHOST, 2L) &&
        set(easy, CURLOPT_CONNECTTIMEOUT, seconds) &&
        // The engine decides about proxies itself: "" keeps curl from reading the environment.
        set(easy, CURLOPT_PROXY, proxy.c_str()) && set(easy, CURLOPT_HTTPPROXYTUNNEL, request.proxy ? 1L : 0L) &&
        set(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) &&
        set(easy, CURLOPT_USERAGENT, request.user_agent.c_str()) &&
        set(easy, CURLOPT_HTTPHEADER, headers_out_.get()) &&
        set(easy, CURLOPT_HEADERFUNCTION, &CurlResponse::on_header) && set(easy, CURLOPT_HEADERDATA, this) &&
        set(easy, CURLOPT_WRITEFUNCTION, &CurlResponse::on_body) && set(easy, CURLOPT_WRITEDATA, this) &&
        set(easy, CURLOPT_PREREQFUNCTION, &CurlResponse::on_connected) && set(easy, CURLOPT_PREREQDATA, this);
    if (!ok) return std::unexpected(HttpError{format("cannot configure the request for {}", request.url)});
    // Tests and the native build trust their throwaway CA through this variable;
    // the product never sets it and uses the system's trust store.
    if (const char* bundle = std::getenv("YOXA_TEST_CA_BUNDLE"); bundle && *bundle) {
      if (!set(easy, CURLOPT_CAINFO, bundle)) return std::unexpected(HttpError{"cannot set the CA bundle"});
    }
    if (curl_multi_add_handle(multi_.get(), easy) != CURLM_OK)
      return std::unexpected(HttpError{"cannot start the transfer"});
    url_ = request.url;

    auto waited = pump([this] { return headers_done_; });
    if (!waited) return waited;
    if (!headers_done_ && result_ != CURLE_OK) return std::unexpected(failure());
    char* effective = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective) final_url_ = effective;
    else final_url_ = request.url;
    if (!headers_done_) {  // ended without a final header block we recognised (e.g. an unfollowed 3xx)
      long code = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
      status_ = static_cast<std::uint32_t>(code);
      headers_done_ = true;
    }
    return {};
  }

  std::uint32_t status() const override { return status_; }

  std::optional<std::string> header(std::string_view name) const override {
    const std::string wanted = ascii_lower(name);
    for (const auto& [key, value] : headers_in_)
      if (ascii_lower(key) == wanted) return value;
    return std::nullopt;
  }

  const std::string& final_url() const override { return final_url_; }

  // Fills the buffer unless the body ends or fails first, so callers get chunks of the size
  // they chose. Bytes that arrived before a failure are returned; the failure comes next.
  std::expected<std::size_t, HttpError> read(std::span<char> buffer) override {
    std::size_t filled = std::min(buffer.size(), pending_.size() - pending_at_);
    if (filled > 0) std::memcpy(buffer.data(), pending_.data() + pending_at_, filled);
    pending_at_ += filled;
    if (filled < buffer.size() && !failed_ && !done_) {
      target_ = buffer.subspan(filled);
      delivered_ = 0;
      last_activity_ = Clock::now();
      if (paused_) {
        paused_ = false;
        // Hands the chunk curl kept back to on_body, into the buffer just set.
        if (const CURLcode code = curl_easy_pause(easy_.get(), CURLPAUSE_CONT); code != CURLE_OK) {
          result_ = code;
          done_ = true;
        }
      }
      static_cast<void>(pump([this] { return target_.empty(); }));  // a failure is kept in failed_ or result_
      target_ = {};
      filled += delivered_;
    }
    if (filled > 0) return filled;
    if (failed_) return std::unexpected(*failed_);
    // A body cut short of its Content-Length simply ends, as it does with WinHTTP:
    // the caller's size check names the mismatch and the partial file stays resumable.
    if (result_ != CURLE_OK && result_ != CURLE_PARTIAL_FILE) return std::unexpected(failure());
    return 0;
  }

 private:
  template <class Value>
  static bool set(CURL* easy, CURLoption option, Value value) {
    return curl_easy_setopt(easy, option, value) == CURLE_OK;
  }

  static std::size_t on_header(char* data, std::size_t size, std::size_t count, void* self) {
    static_cast<CurlResponse*>(self)->take_header_line(std::string_view(data, size * count));
    return size * count;
  }

  static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* self) {
    return static_cast<CurlResponse*>(self)->take_body(data, size * count);
  }

  static int on_connected(void* self, char*, char*, int, int) {
    // A new connection is up (TLS and tunnel included): the wait for its answer starts now.
    static_cast<CurlResponse*>(self)->last_activity_ = Clock::now();
    return CURL_PREREQFUNC_OK;
  }

  void take_header_line(std::string_view line) {
    last_activity_ = Clock::now();
    if (headers_done_) return;  // trailers of the final response
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (starts_with(line, "HTTP/")) {  // each response of a redirect chain starts afresh
      headers_in_.clear();
      block_status_ = 0;
      if (const auto space = line.find(' '); space != std::string_view::npos)
        std::from_chars(line.data() + space + 1, line.data() + line.size(), block_status_);
      return;
    }
    if (line.empty()) {
      // curl follows a 3xx that names a Location; anything else at or above 200 is final.
      const bool followed = is_redirect(block_status_) && header("location");
      if (block_status_ >= 200 && !followed) {
        status_ = block_status_;
        headers_done_ = true;
      }
      return;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return;
    headers_in_.emplace_back(std::string(line.substr(0, colon)), std::string(trim(line.substr(colon + 1))));
  }

  std::size_t take_body(const char* data, std::size_t size) {
    last_activity_ = Clock::now();
    headers_done_ = true;  // body bytes only flow for the final response
    if (target_.empty()) {
      paused_ = true;
      return CURL_WRITEFUNC_PAUSE;  // curl keeps this chunk until the next read
    }
    const std::size_t count = std::min(size, target_.size());
    std::memcpy(target_.data(), data, count);
    target_ = target_.subspan(count);
    delivered_ += count;
    // The rest of one curl buffer at most: read() drains this before it lets curl run again.
    pending_.assign(data + count, data + size);
    pending_at_ = 0;
    return size;
  }

  // Runs the transfer until `reached` holds or it ends; no byte for the time limit fails it.
  template <class Condition>
  std::expected<void, HttpError> pump(Condition reached) {
    while (!reached() && !done_) {
      int running = 0;
      if (const CURLMcode code = curl_multi_perform(multi_.get(), &running); code != CURLM_OK)
        return fail(format("transfer failed: {} (curl multi error {})", curl_multi_strerror(code),
                           static_cast<int>(code)));
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        done_ = true;
        result_ = message->data.result;
      }
      if (reached() || done_) break;
      const auto idle = Clock::now() - last_activity_;
      if (idle >= timeout_)
        return fail(format("timed out: no data for {} s from {}", timeout_.count(), url_));
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(timeout_ - idle).count();
      int ready = 0;
      curl_multi_poll(multi_.get(), nullptr, 0, static_cast<int>(std::clamp<long long>(left, 1, 1000)), &ready);
    }
    return {};
  }

  std::unexpected<HttpError> fail(std::string text) {
    failed_ = HttpError{std::move(text)};
    return std::unexpected(*failed_);
  }

  HttpError failure() const {
    const std::string detail = error_buffer_[0] ? std::string(error_buffer_) : std::string(curl_easy_strerror(result_));
    return HttpError{format("{}: {} (curl error {})", cause_of(result_), detail, static_cast<int>(result_))};
  }

  std::chrono::seconds timeout_;
  Multi multi_;
  Easy easy_;
  HeaderList headers_out_;
  char error_buffer_[CURL_ERROR_SIZE] = {};
  std::string url_;
  std::string final_url_;
  std::uint32_t status_ = 0;
  std::uint32_t block_status_ = 0;
  std::vector<std::pair<std::string, std::string>> headers_in_;
  bool headers_done_ = false;
  bool done_ = false;
  bool paused_ = false;
  CURLcode result_ = CURLE_OK;
  std::optional<HttpError> failed_;
  Clock::time_point last_activity_ = Clock::now();
  std::span<char> target_;
  std::size_t delivered_ = 0;
  std::vector<char> pending_;
  std::size_t pending_at_ = 0;
};

class CurlClient final : public HttpClient {
 public:
  std::expected<std::unique_ptr<HttpResponse>, HttpError> send(const HttpRequest& request) override {
    initialise_curl_once();
    auto response = std::make_unique<CurlResponse>(request.timeout_seconds);
    if (auto started = response->start(request); !started) return std::unexpected(started.error());
    return response;
  }
};

}  // namespace

HttpClient& system_http_client() {
  static CurlClient client;
  return client;
}

}  // namespace yoxa::platform
