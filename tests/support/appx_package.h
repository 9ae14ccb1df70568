// The identity of an MSIX/AppX package file as Windows reads it: the Identity element of
// AppxManifest.xml (for a bundle, that of the application package the bundle manifest offers
// for x64 or neutral), its declared framework dependencies, and the names Windows derives
// from it (publisher id, family name, full name).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace appx {

struct Dependency {
  std::string name;
  std::string min_version;
  std::string publisher;
};

struct Identity {
  std::string name;
  std::string publisher;
  std::string version;
  std::string architecture;  // "neutral" when the manifest names none
  std::string resource_id;
  std::string publisher_id;
  bool framework = false;
  std::vector<Dependency> dependencies;
  std::string manifest;  // the AppxManifest.xml text

  std::string family_name() const { return name + "_" + publisher_id; }
  std::string full_name() const {
    return name + "_" + version + "_" + architecture + "_" + resource_id + "_" + publisher_id;
  }
};

// The 13-character publisher id Windows derives from a publisher name: the first 8 bytes of
// the SHA-256 of its UTF-16LE form, in base32 with Windows' alphabet.
std::string publisher_id(std::string_view publisher);

// Gives the publisher id to use for a publisher: lets tests map their signer's name to the id
// the build's family names were made with. Returns none to use publisher_id().
using PublisherIds = std::function<std::optional<std::string>(const std::string& publisher)>;

// Reads a package or bundle held in `bytes`; none with a reason in `why` when it is not one.
std::optional<Identity> read_package(const std::string& bytes, const PublisherIds& ids, std::string& why);

// The value of attribute `name` in the first `<element ...>` tag of `xml` at or after `from`;
// `from` moves past the tag. None when there is no such tag.
std::optional<std::string> first_tag(std::string_view xml, std::string_view element, std::size_t& from);
std::optional<std::string> attribute(std::string_view tag, std::string_view name);

// -1, 0 or 1 comparing dotted versions numerically (missing parts count as 0); none when a
// part is not a number.
std::optional<int> compare_versions(std::string_view a, std::string_view b);

}  // namespace appx
