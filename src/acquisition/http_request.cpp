#include "acquisition/http_request.h"

#include "core/text.h"
#include "core/log.h"
#include "core/url.h"

namespace yoxa {

namespace {
using platform::RegistryValue;

std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

const RegistryValue* find_value(const std::vector<std::pair<std::string, RegistryValue>>& values,
                                std::string_view name) {
  for (const auto& [value_name, value] : values) {
    if (ascii_lower(value_name) == ascii_lower(name)) return &value;
  }
  return nullptr;
}

bool is_string(const RegistryValue& value) {
  return value.type == RegistryValue::Type::String || value.type == RegistryValue::Type::ExpandString;
}

// What an HTTP client accepts as the host of a proxy URL: a bracketed IPv6
// literal, or a name without the characters that end or split an authority.
// The per-protocol "http=a:80;https=b:443" form of ProxyServer fails here.
std::optional<std::string> proxy_host_problem(std::string_view host) {
  if (host.starts_with('[') && host.ends_with(']') && host.size() > 2) {
    if (!is_ipv6_address(host.substr(1, host.size() - 2))) return format("invalid IPv6 literal {}", host);
    return std::nullopt;
  }
  for (const char c : host) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || std::string_view("#/:<>?@[\\]^|%;=,").find(c) != std::string_view::npos) {
      return format("invalid character in proxy host '{}'", host);
    }
  }
  return std::nullopt;
}
}  // namespace

std::expected<std::pair<std::string, std::uint16_t>, std::string> parse_proxy_server(std::string_view text) {
  std::string_view rest = text;
  if (rest.starts_with("https://")) rest.remove_prefix(8);
  else if (rest.starts_with("http://")) rest.remove_prefix(7);
  const auto colon = rest.rfind(':');
  const auto port = colon == std::string_view::npos ? std::nullopt : parse_port(rest.substr(colon + 1));
  if (!port) return std::unexpected(format("invalid proxy address: {}", text));
  return std::pair{std::string(rest.substr(0, colon)), *port};
}

ProxySetting read_system_proxy(platform::Registry& registry) {
  const auto values =
      registry.values(platform::RegistryHive::CurrentUser, platform::RegistryView::Bits64, kInternetSettingsKey);
  if (!values) return std::unexpected(values.error().text);
  if (!*values) return std::unexpected(std::string("the Internet Settings key does not exist"));

  SystemProxy proxy;
  const RegistryValue* enable = find_value(**values, "ProxyEnable");
  if (!enable || enable->type != RegistryValue::Type::Dword || enable->number != 1) return proxy;
  proxy.enabled = true;

  const RegistryValue* server = find_value(**values, "ProxyServer");
  if (server && !is_string(*server)) return std::unexpected(std::string("ProxyServer is not a string value"));
  const std::string server_text = server ? server->text : std::string();
  if (server_text.empty()) return proxy;
  auto address = parse_proxy_server(server_text);
  if (!address) return std::unexpected(address.error());
  proxy.host = std::move(address->first);
  proxy.port = address->second;

  const RegistryValue* bypass = find_value(**values, "ProxyOverride");
  if (bypass && is_string(*bypass)) proxy.bypass = bypass->text;
  return proxy;
}

const ProxySetting& system_proxy() {
  static const ProxySetting proxy = read_system_proxy(platform::system_registry());
  return proxy;
}

platform::HttpRequest build_request(const std::string& url, std::uint32_t timeout_seconds, const ProxySetting& proxy) {
  platform::HttpRequest request;
  request.url = url;
  request.user_agent = kUserAgent;
  request.timeout_seconds = timeout_seconds;
  if (!proxy || !proxy->enabled || proxy->host.empty() || proxy->port == 0) return request;

  const std::string address = format("{}:{}", proxy->host, proxy->port);
  log::info(format("Using system proxy: {}", address));
  if (!proxy->bypass.empty()) log::warn(format("Bypass list ignored: {}", proxy->bypass));
  if (const auto problem = proxy_host_problem(proxy->host)) {
    log::warn(format("proxy error: {}", *problem));
    return request;
  }
  request.proxy = address;
  return request;
}

platform::HttpRequest new_request(const std::string& url, std::uint32_t timeout_seconds) {
  return build_request(url, timeout_seconds, system_proxy());
}

}  // namespace yoxa
