#pragma once
#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/text.h"
#include "platform/http.h"

namespace yoxa::testing {

// One scripted answer of FakeHttpClient.
struct FakeReply {
  std::uint32_t status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::optional<std::string> final_url;  // the request's URL when not set (no redirect)
  std::optional<std::string> transport_error;  // send() fails with this text
  // The body read fails with `read_error` once this many bytes have been handed out.
  std::optional<std::size_t> fail_after;
  std::string read_error = "connection reset by peer";
  std::size_t max_read = static_cast<std::size_t>(-1);  // the most bytes one read() returns
  // Called before every read() with the number of reads made so far.
  std::function<void(std::size_t)> before_read;

  static FakeReply ok(std::string body) {
    FakeReply reply;
    reply.body = std::move(body);
    return reply;
  }
  static FakeReply with_status(std::uint32_t status, std::string body = {}) {
    FakeReply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
  }
  static FakeReply failure(std::string text) {
    FakeReply reply;
    reply.transport_error = std::move(text);
    return reply;
  }
  FakeReply& header(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
  }
  FakeReply& sized() { return header("Content-Length", std::to_string(body.size())); }
};

// A scripted HTTP client: replies registered for a URL answer every request for
// it; other requests take the queued replies in order. Every request is recorded.
// Safe to use from several threads.
class FakeHttpClient final : public platform::HttpClient {
 public:
  FakeHttpClient& on(const std::string& url, FakeReply reply) {
    std::lock_guard lock(mutex_);
    by_url_[url] = std::move(reply);
    return *this;
  }
  FakeHttpClient& then(FakeReply reply) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(reply));
    return *this;
  }

  std::vector<platform::HttpRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::size_t request_count() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
  }

  std::expected<std::unique_ptr<platform::HttpResponse>, platform::HttpError> send(
      const platform::HttpRequest& request) override {
    FakeReply reply;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
      if (const auto found = by_url_.find(request.url); found != by_url_.end()) {
        reply = found->second;
      } else if (!queue_.empty()) {
        reply = std::move(queue_.front());
        queue_.pop_front();
      } else {
        return std::unexpected(platform::HttpError{"no scripted reply for " + request.url});
      }
    }
    if (reply.transport_error) return std::unexpected(platform::HttpError{*reply.transport_error});
    if (!reply.final_url) reply.final_url = request.url;
    return std::make_unique<Response>(std::move(reply));
  }

 private:
  class Response final : public platform::HttpResponse {
   public:
    explicit Response(FakeReply reply) : reply_(std::move(reply)) {}
    std::uint32_t status() const override { return reply_.status; }
    std::optional<std::string> header(std::string_view name) const override {
      for (const auto& [key, value] : reply_.headers) {
        if (ascii_lower(key) == ascii_lower(name)) return value;
      }
      return std::nullopt;
    }
    const std::string& final_url() const override { return *reply_.final_url; }
    std::expected<std::size_t, platform::HttpError> read(std::span<char> buffer) override {
      if (reply_.before_read) reply_.before_read(reads_);
      ++reads_;
      std::size_t end = reply_.body.size();
      if (reply_.fail_after) {
        if (position_ >= *reply_.fail_after) return std::unexpected(platform::HttpError{reply_.read_error});
        end = std::min(end, *reply_.fail_after);
      }
      const std::size_t count = std::min({buffer.size(), reply_.max_read, end - position_});
      std::memcpy(buffer.data(), reply_.body.data() + position_, count);
      position_ += count;
      return count;
    }

   private:
    FakeReply reply_;
    std::size_t position_ = 0;
    std::size_t reads_ = 0;
  };

  mutable std::mutex mutex_;
  std::map<std::string, FakeReply> by_url_;
  std::deque<FakeReply> queue_;
  std::vector<platform::HttpRequest> requests_;
};

// The value of a request header, if it was set.
inline std::optional<std::string> header_of(const platform::HttpRequest& request, std::string_view name) {
  for (const auto& [key, value] : request.headers) {
    if (ascii_lower(key) == ascii_lower(name)) return value;
  }
  return std::nullopt;
}

}  // namespace yoxa::testing
