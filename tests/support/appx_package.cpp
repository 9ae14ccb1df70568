#include "appx_package.h"

#include <cctype>
#include <charconv>

#include "sha256.h"
#include "zip_reader.h"

namespace appx {

namespace {

constexpr std::string_view kManifest = "AppxManifest.xml";
constexpr std::string_view kBundleManifest = "AppxMetadata/AppxBundleManifest.xml";

// UTF-8 to UTF-16LE bytes; a malformed sequence becomes U+FFFD.
std::string utf16le(std::string_view text) {
  std::string out;
  auto put = [&out](std::uint32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    std::uint32_t code = 0xFFFD;
    if (length == 1) {
      code = lead;
    } else if (length > 1 && i + length <= text.size()) {
      code = lead & (0x7F >> length);
      for (std::size_t k = 1; k < length; ++k) code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += length ? length : 1;
    if (code >= 0x10000) {
      code -= 0x10000;
      put(0xD800 | (code >> 10));
      put(0xDC00 | (code & 0x3FF));
    } else {
      put(code);
    }
  }
  return out;
}

std::string xml_unescape(std::string_view text) {
  static constexpr std::pair<std::string_view, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& [entity, c] : kEntities) {
      if (text.substr(i).starts_with(entity)) {
        out += c;
        i += entity.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::optional<Identity> identity_of_manifest(std::string manifest, const PublisherIds& ids, std::string& why) {
  std::size_t at = 0;
  const auto tag = first_tag(manifest, "Identity", at);
  const auto name = tag ? attribute(*tag, "Name") : std::nullopt;
  const auto publisher = tag ? attribute(*tag, "Publisher") : std::nullopt;
  const auto version = tag ? attribute(*tag, "Version") : std::nullopt;
  if (!name || !publisher || !version || name->empty() || !compare_versions(*version, "0")) {
    why = "the manifest has no usable Identity (Name, Publisher, Version)";
    return std::nullopt;
  }
  Identity identity;
  identity.name = *name;
  identity.publisher = *publisher;
  identity.version = *version;
  identity.architecture = attribute(*tag, "ProcessorArchitecture").value_or("neutral");
  identity.resource_id = attribute(*tag, "ResourceId").value_or("");
  const auto mapped = ids ? ids(identity.publisher) : std::nullopt;
  identity.publisher_id = mapped ? *mapped : publisher_id(identity.publisher);
  const auto framework = manifest.find("<Framework>");
  identity.framework = framework != std::string::npos && manifest.compare(framework + 11, 4, "true") == 0;
  for (std::size_t from = 0; const auto dependency = first_tag(manifest, "PackageDependency", from);) {
    identity.dependencies.push_back({attribute(*dependency, "Name").value_or(""),
                                     attribute(*dependency, "MinVersion").value_or("0.0.0.0"),
                                     attribute(*dependency, "Publisher").value_or("")});
  }
  identity.manifest = std::move(manifest);
  return identity;
}

}  // namespace

std::string publisher_id(std::string_view publisher) {
  const std::string wide = utf16le(publisher);
  standin::Sha256 hash;
  hash.update(reinterpret_cast<const unsigned char*>(wide.data()), wide.size());
  const std::string hex = hash.hex_upper();
  std::uint64_t first = 0;
  std::from_chars(hex.data(), hex.data() + 16, first, 16);
  // 64 bits and one zero bit make 13 groups of five.
  static constexpr char kAlphabet[] = "0123456789abcdefghjkmnpqrstvwxyz";
  std::string out;
  for (int group = 12; group >= 0; --group) {
    const int shift = group * 5 - 1;
    const std::uint64_t bits = shift >= 0 ? first >> shift : first << 1;
    out += kAlphabet[bits & 31];
  }
  return out;
}

std::optional<std::string> first_tag(std::string_view xml, std::string_view element, std::size_t& from) {
  while (from < xml.size()) {
    const auto open = xml.find('<', from);
    if (open == std::string_view::npos) break;
    // A namespace prefix ("uap:Identity") names the same element for this purpose.
    std::size_t name_start = open + 1;
    std::size_t name_end = name_start;
    while (name_end < xml.size() && !std::isspace(static_cast<unsigned char>(xml[name_end])) &&
           xml[name_end] != '>' && xml[name_end] != '/')
      ++name_end;
    std::string_view tag_name = xml.substr(name_start, name_end - name_start);
    if (const auto colon = tag_name.find(':'); colon != std::string_view::npos) tag_name.remove_prefix(colon + 1);
    const auto close = xml.find('>', name_end);
    if (close == std::string_view::npos) break;
    from = close + 1;
    if (tag_name == element) return std::string(xml.substr(name_end, close - name_end));
  }
  from = xml.size();
  return std::nullopt;
}

std::optional<std::string> attribute(std::string_view tag, std::string_view name) {
  for (std::size_t at = 0; at < tag.size();) {
    const auto equals = tag.find('=', at);
    if (equals == std::string_view::npos) break;
    std::size_t key_end = equals;
    while (key_end > at && std::isspace(static_cast<unsigned char>(tag[key_end - 1]))) --key_end;
    std::size_t key_start = key_end;
    while (key_start > at && !std::isspace(static_cast<unsigned char>(tag[key_start - 1]))) --key_start;
    std::size_t value_start = equals + 1;
    while (value_start < tag.size() && std::isspace(static_cast<unsigned char>(tag[value_start]))) ++value_start;
    if (value_start >= tag.size() || (tag[value_start] != '"' && tag[value_start] != '\'')) break;
    const auto value_end = tag.find(tag[value_start], value_start + 1);
    if (value_end == std::string_view::npos) break;
    if (tag.substr(key_start, key_end - key_start) == name)
      return xml_unescape(tag.substr(value_start + 1, value_end - value_start - 1));
    at = value_end + 1;
  }
  return std::nullopt;
}

std::optional<int> compare_versions(std::string_view a, std::string_view b) {
  auto parts = [](std::string_view text) -> std::optional<std::vector<std::uint64_t>> {
    std::vector<std::uint64_t> out;
    for (std::size_t start = 0;;) {
      const auto dot = text.find('.', start);
      const auto part = text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
      std::uint64_t value = 0;
      const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
      if (part.empty() || error != std::errc() || end != part.data() + part.size() || value > 0xFFFF)
        return std::nullopt;
      out.push_back(value);
      if (dot == std::string_view::npos) return out;
      start = dot + 1;
    }
  };
  const auto left = parts(a);
  const auto right = parts(b);
  if (!left || !right) return std::nullopt;
  for (std::size_t i = 0; i < std::max(left->size(), right->size()); ++i) {
    const auto x = i < left->size() ? (*left)[i] : 0;
    const auto y = i < right->size() ? (*right)[i] : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

std::optional<Identity> read_package(const std::string& bytes, const PublisherIds& ids, std::string& why) {
  const auto archive = zip::Archive::open_bytes(bytes);
  if (!archive) {
    why = "not a zip archive";
    return std::nullopt;
  }
  if (const auto manifest = archive->read(kManifest)) return identity_of_manifest(*manifest, ids, why);
  const auto bundle = archive->read(kBundleManifest);
  if (!bundle) {
    why = "neither AppxManifest.xml nor a bundle manifest could be read";
    return std::nullopt;
  }
  for (std::size_t from = 0; const auto tag = first_tag(*bundle, "Package", from);) {
    const auto type = attribute(*tag, "Type").value_or("application");
    const auto architecture = attribute(*tag, "Architecture").value_or("neutral");
    const auto file = attribute(*tag, "FileName");
    if (!file || !equals_ignoring_case(type, "application") ||
        !(equals_ignoring_case(architecture, "x64") || equals_ignoring_case(architecture, "neutral")))
      continue;
    const auto inner = archive->read(*file);
    if (!inner) {
      why = "the bundle's package " + *file + " could not be read";
      return std::nullopt;
    }
    const auto inner_archive = zip::Archive::open_bytes(*inner);
    const auto manifest = inner_archive ? inner_archive->read(kManifest) : std::nullopt;
    if (!manifest) {
      why = "the bundle's package " + *file + " has no readable AppxManifest.xml";
      return std::nullopt;
    }
    return identity_of_manifest(*manifest, ids, why);
  }
  why = "the bundle offers no application package for x64 or neutral";
  return std::nullopt;
}

}  // namespace appx
