#pragma once
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/http.h"
#include "platform/registry.h"

namespace yoxa {

inline constexpr const char* kUserAgent = "installer-common/0.0.0";
inline constexpr const char* kInternetSettingsKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// The current user's proxy settings as the system stores them.
struct SystemProxy {
  std::string host;  // may be empty
  std::uint16_t port = 0;
  bool enabled = false;
  std::string bypass;  // the raw ProxyOverride text; reported, never applied
};

// A read that failed carries its reason; it means no proxy.
using ProxySetting = std::expected<SystemProxy, std::string>;

// "host:port", optionally behind "http://" or "https://", split at the last ':'.
// Fails with "invalid proxy address: {text}".
std::expected<std::pair<std::string, std::uint16_t>, std::string> parse_proxy_server(std::string_view text);

// Reads the settings from HKCU Internet Settings (64-bit view).
ProxySetting read_system_proxy(platform::Registry& registry);

// The process's settings, read from the system registry on first use and then kept.
const ProxySetting& system_proxy();

// A GET with the engine's User-Agent, the time limit and the proxy when one is in use.
platform::HttpRequest build_request(const std::string& url, std::uint32_t timeout_seconds, const ProxySetting& proxy);
// The same with the system proxy: the request every network call of the engine sends.
platform::HttpRequest new_request(const std::string& url, std::uint32_t timeout_seconds);

// How callers that can be tested take the request builder.
using RequestBuilder = std::function<platform::HttpRequest(const std::string& url, std::uint32_t timeout_seconds)>;

}  // namespace yoxa
