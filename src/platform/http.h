#pragma once
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace yoxa::platform {

// One HTTPS GET as the engine sends it.
struct HttpRequest {
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;  // besides User-Agent
  std::string user_agent;
  // Bounds the connection, TLS handshake, the wait for headers and each body read.
  std::uint32_t timeout_seconds = 60;
  std::optional<std::string> proxy;  // "host:port"; HTTPS is tunnelled through it
};

// A transport failure: no connection, TLS, time-out, too many redirects, a bad proxy.
struct HttpError {
  std::string text;
};

// A response whose headers have arrived; the body is read in bounded pieces.
class HttpResponse {
 public:
  virtual ~HttpResponse() = default;
  virtual std::uint32_t status() const = 0;
  // The first header of that name, compared without regard to ASCII case.
  virtual std::optional<std::string> header(std::string_view name) const = 0;
  // The URL that answered, after every redirect.
  virtual const std::string& final_url() const = 0;
  // Up to buffer.size() bytes of the body; 0 at its end.
  virtual std::expected<std::size_t, HttpError> read(std::span<char> buffer) = 0;
};

// Sends GET requests, following redirects itself (at most 100).
class HttpClient {
 public:
  virtual ~HttpClient() = default;
  virtual std::expected<std::unique_ptr<HttpResponse>, HttpError> send(const HttpRequest& request) = 0;
};

// WinHTTP on Windows, libcurl in the native build.
HttpClient& system_http_client();

}  // namespace yoxa::platform
