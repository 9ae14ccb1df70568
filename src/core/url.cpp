#include "core/url.h"

#include <algorithm>
#include <cctype>

// Resolution of references follows RFC 3986, section 5.2.

namespace yoxa {

namespace {
bool is_scheme(std::string_view text) {
  if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
  });
}

}  // namespace

UrlParts split_url(std::string_view url) {
  UrlParts parts;
  url = url.substr(0, url.find('#'));  // fragments never travel
  const auto colon = url.find(':');
  if (colon != std::string_view::npos && is_scheme(url.substr(0, colon))) {
    parts.scheme = std::string(url.substr(0, colon));
    url.remove_prefix(colon + 1);
  }
  if (url.starts_with("//")) {
    url.remove_prefix(2);
    const auto end = std::min(url.find_first_of("/?"), url.size());
    parts.authority = std::string(url.substr(0, end));
    url.remove_prefix(end);
  }
  const auto question = url.find('?');
  parts.path = std::string(url.substr(0, question));
  if (question != std::string_view::npos) parts.query = std::string(url.substr(question + 1));
  return parts;
}

std::string remove_dot_segments(std::string_view in) {
  std::string out;
  const auto drop_last_segment = [&out] {
    const auto slash = out.rfind('/');
    out.erase(slash == std::string::npos ? 0 : slash);
  };
  while (!in.empty()) {
    if (in.starts_with("../")) in.remove_prefix(3);
    else if (in.starts_with("./") || in.starts_with("/./")) in.remove_prefix(2);
    else if (in == "/.") in = "/";
    else if (in.starts_with("/../")) {
      in.remove_prefix(3);
      drop_last_segment();
    } else if (in == "/..") {
      in = "/";
      drop_last_segment();
    } else if (in == "." || in == "..") in = {};
    else {
      const auto end = std::min(in.find('/', 1), in.size());
      out.append(in.substr(0, end));
      in.remove_prefix(end);
    }
  }
  return out;
}

std::string resolve_reference(const std::string& base_url, const std::string& reference) {
  const UrlParts base = split_url(base_url);
  const UrlParts ref = split_url(reference);
  UrlParts target;
  if (!ref.scheme.empty()) {
    target = ref;
    target.path = remove_dot_segments(ref.path);
  } else {
    target.scheme = base.scheme;
    if (ref.authority) {
      target.authority = ref.authority;
      target.path = remove_dot_segments(ref.path);
      target.query = ref.query;
    } else {
      target.authority = base.authority;
      if (ref.path.empty()) {
        target.path = base.path;
        target.query = ref.query ? ref.query : base.query;
      } else {
        if (ref.path.starts_with('/')) target.path = remove_dot_segments(ref.path);
        else if (base.authority && base.path.empty()) target.path = remove_dot_segments("/" + ref.path);
        else target.path = remove_dot_segments(base.path.substr(0, base.path.rfind('/') + 1) + ref.path);
        target.query = ref.query;
      }
    }
  }
  std::string url = target.scheme + ":";
  if (target.authority) url += "//" + *target.authority;
  url += target.path;
  if (target.query) url += "?" + *target.query;
  return url;
}

namespace {
bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Groups of a run of "h16:h16:..." (no "::" inside); -1 when malformed. The last
// piece may be a dotted IPv4 address when `v4_allowed`, counting as two groups.
int count_groups(std::string_view run, bool v4_allowed) {
  if (run.empty()) return 0;
  int groups = 0;
  while (true) {
    const auto colon = run.find(':');
    const std::string_view piece = run.substr(0, colon);
    if (colon == std::string_view::npos && v4_allowed && piece.find('.') != std::string_view::npos) {
      return is_ipv4_dotted(piece) ? groups + 2 : -1;
    }
    if (piece.empty() || piece.size() > 4 || !std::all_of(piece.begin(), piece.end(), is_hex_digit)) return -1;
    ++groups;
    if (colon == std::string_view::npos) return groups;
    run.remove_prefix(colon + 1);
  }
}
}  // namespace

bool is_ipv4_dotted(std::string_view text) {
  int octets = 0;
  while (true) {
    const auto dot = text.find('.');
    const std::string_view octet = text.substr(0, dot);
    if (octet.empty() || octet.size() > 3 || !std::all_of(octet.begin(), octet.end(), is_digit)) return false;
    if (octet.size() > 1 && octet[0] == '0') return false;
    int value = 0;
    for (const char c : octet) value = value * 10 + (c - '0');
    if (value > 255) return false;
    ++octets;
    if (dot == std::string_view::npos) return octets == 4;
    text.remove_prefix(dot + 1);
  }
}

bool is_ipv6_address(std::string_view text) {
  const auto gap = text.find("::");
  if (gap == std::string_view::npos) return count_groups(text, true) == 8;
  const std::string_view before = text.substr(0, gap);
  const std::string_view after = text.substr(gap + 2);
  if (after.find("::") != std::string_view::npos) return false;
  const int head = count_groups(before, false);
  const int tail = count_groups(after, true);
  // "::" stands for at least one group.
  return head >= 0 && tail >= 0 && head + tail <= 7;
}

bool is_odd_numeric_host(std::string_view host) {
  while (host.ends_with('.')) host.remove_suffix(1);
  const auto dot = host.rfind('.');
  std::string_view label = dot == std::string_view::npos ? host : host.substr(dot + 1);
  if (label.empty()) return false;
  if (label.size() >= 2 && label[0] == '0' && (label[1] == 'x' || label[1] == 'X')) {
    label.remove_prefix(2);
    if (!std::all_of(label.begin(), label.end(), is_hex_digit)) return false;
  } else if (!std::all_of(label.begin(), label.end(), is_digit)) {
    return false;
  }
  // The last four labels (the whole host when it has fewer).
  std::size_t start = host.size();
  for (int dots = 0; start > 0; --start) {
    if (host[start - 1] == '.' && ++dots == 4) break;
  }
  return !is_ipv4_dotted(host.substr(start));
}

}  // namespace yoxa
