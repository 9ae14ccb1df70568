#include "acquisition/package_meta.h"

#include <set>

#include "core/text.h"

namespace yoxa {

namespace {

std::string type_error(const char* key, const Json& value, const char* expected) {
  return format("invalid type: {}, expected {} for `{}`", value.type_name(), expected, key);
}

// Reads the members of one object, keeping the first problem it meets.
class MemberReader {
 public:
  explicit MemberReader(const Json& object) : object_(object) {}

  const Json* find(const char* key) const {
    const auto it = object_.find(key);
    return it == object_.end() ? nullptr : &*it;
  }

  // Absent or null -> none.
  std::optional<std::string> nullable_string(const char* key) {
    const Json* value = find(key);
    if (!value || value->is_null()) return std::nullopt;
    if (!value->is_string()) return problem(type_error(key, *value, "a string or null"));
    return value->get<std::string>();
  }

  // As above, with the empty string also counting as absent.
  std::optional<std::string> nonempty_string(const char* key) {
    auto text = nullable_string(key);
    if (text && text->empty()) return std::nullopt;
    return text;
  }

  std::optional<std::uint64_t> nullable_size(const char* key) {
    const Json* value = find(key);
    if (!value || value->is_null()) return std::nullopt;
    if (value->is_number_unsigned()) return value->get<std::uint64_t>();
    // "-0" parses as a signed zero; it is still a valid unsigned amount.
    if (value->is_number_integer() && value->get<std::int64_t>() == 0) return 0;
    return problem(type_error(key, *value, "an unsigned 64-bit integer or null"));
  }

  std::string required_string(const char* key) {
    const Json* value = find(key);
    if (!value) {
      note(format("missing field `{}`", key));
      return {};
    }
    if (!value->is_string()) {
      note(type_error(key, *value, "a string"));
      return {};
    }
    return value->get<std::string>();
  }

  // A required (or, with `optional`, absent-means-empty) array; null is a type error either way.
  const Json* array(const char* key, bool optional) {
    const Json* value = find(key);
    if (!value) {
      if (!optional) problem(format("missing field `{}`", key));
      return nullptr;
    }
    if (!value->is_array()) {
      problem(type_error(key, *value, "an array"));
      return nullptr;
    }
    return value;
  }

  void note(std::string message) {
    if (!error_) error_ = std::move(message);
  }
  const std::optional<std::string>& error() const { return error_; }

 private:
  std::nullopt_t problem(std::string message) {
    note(std::move(message));
    return std::nullopt;
  }

  const Json& object_;
  std::optional<std::string> error_;
};

std::expected<MetaDependency, std::string> dependency_from_json(const Json& value) {
  if (!value.is_object()) {
    return std::unexpected(format("invalid type: {}, expected a dependency object", value.type_name()));
  }
  MemberReader in(value);
  MetaDependency dependency;
  dependency.identity = in.nullable_string("identity");
  dependency.token = in.nullable_string("token");
  dependency.arch = in.nullable_string("arch");
  dependency.kind = in.nullable_string("kind");
  dependency.min_version = in.nullable_string("minVersion");
  dependency.version = in.nullable_string("version");
  dependency.destination = in.nullable_string("destination");
  dependency.size = in.nullable_size("size");
  dependency.checksum = in.nullable_string("checksum");
  dependency.checksum_algorithm = in.nullable_string("checksumAlgorithm");
  dependency.install_args = in.nullable_string("installArgs");
  if (in.error()) return std::unexpected(*in.error());
  return dependency;
}

std::expected<ReleaseNotesEntry, std::string> release_entry_from_json(const Json& value) {
  if (!value.is_object()) {
    return std::unexpected(format("invalid type: {}, expected a release object", value.type_name()));
  }
  MemberReader in(value);
  ReleaseNotesEntry entry;
  entry.version = in.required_string("version");
  entry.date = in.nullable_string("date");
  if (const Json* notes = in.array("notes", false)) {
    for (const Json& note : *notes) {
      if (!note.is_string()) {
        in.note(type_error("notes", note, "an array of strings"));
        break;
      }
      entry.notes.push_back(note.get<std::string>());
    }
  }
  if (in.error()) return std::unexpected(*in.error());
  return entry;
}

}  // namespace

std::expected<Json, std::string> parse_strict_json(std::string_view text) {
  // One set of member names per object being read, innermost last.
  std::vector<std::set<std::string>> open_objects;
  std::optional<std::string> duplicate;
  const Json::parser_callback_t watch = [&](int, Json::parse_event_t event, Json& parsed) {
    switch (event) {
      case Json::parse_event_t::object_start:
        open_objects.emplace_back();
        break;
      case Json::parse_event_t::object_end:
        if (!open_objects.empty()) open_objects.pop_back();
        break;
      case Json::parse_event_t::key:
        if (!open_objects.empty() && !open_objects.back().insert(parsed.get<std::string>()).second && !duplicate) {
          duplicate = parsed.get<std::string>();
        }
        break;
      default:
        break;
    }
    return true;
  };
  try {
    Json value = Json::parse(text.begin(), text.end(), watch);
    if (duplicate) return std::unexpected(format("duplicate field `{}`", *duplicate));
    return value;
  } catch (const Json::exception& error) {
    return std::unexpected(std::string(error.what()));
  }
}

std::expected<PackageMeta, std::string> package_meta_from_json(const Json& value) {
  if (!value.is_object()) {
    return std::unexpected(format("invalid type: {}, expected a meta.json object", value.type_name()));
  }
  MemberReader in(value);
  PackageMeta meta;
  meta.product = in.nullable_string("product");
  meta.version = in.nonempty_string("version");
  meta.destination = in.nonempty_string("destination");
  meta.size = in.nullable_size("size");
  meta.checksum = in.nullable_string("checksum");
  meta.sha256 = in.nullable_string("sha256");
  meta.checksum_algorithm = in.nullable_string("checksumAlgorithm");
  meta.alternate_download_url = in.nonempty_string("alternateDownloadUrl");
  meta.flavour = in.nullable_string("flavour");
  meta.os = in.nullable_string("os");
  meta.arch = in.nullable_string("arch");
  meta.format = in.nullable_string("format");
  meta.release = in.nullable_string("release");
  meta.mode = in.nullable_string("mode");
  if (const Json* dependencies = in.array("dependencies", true)) {
    for (const Json& element : *dependencies) {
      auto dependency = dependency_from_json(element);
      if (!dependency) {
        in.note(format("dependencies: {}", dependency.error()));
        break;
      }
      meta.dependencies.push_back(std::move(*dependency));
    }
  }
  if (in.error()) return std::unexpected(*in.error());
  return meta;
}

std::expected<PackageMeta, std::string> parse_package_meta(std::string_view text) {
  const auto value = parse_strict_json(text);
  if (!value) return std::unexpected(value.error());
  return package_meta_from_json(*value);
}

std::expected<ReleaseNotes, std::string> parse_release_notes(std::string_view text) {
  const auto value = parse_strict_json(text);
  if (!value) return std::unexpected(value.error());
  if (!value->is_object()) {
    return std::unexpected(format("invalid type: {}, expected a release-notes object", value->type_name()));
  }
  MemberReader in(*value);
  ReleaseNotes notes;
  notes.product = in.nullable_string("product");
  notes.version = in.nullable_string("version");
  if (const Json* releases = in.array("releases", false)) {
    for (const Json& element : *releases) {
      auto entry = release_entry_from_json(element);
      if (!entry) {
        in.note(format("releases: {}", entry.error()));
        break;
      }
      notes.releases.push_back(std::move(*entry));
    }
  }
  if (in.error()) return std::unexpected(*in.error());
  return notes;
}

std::expected<std::map<std::string, PackageMeta>, std::string> parse_package_meta_map(std::string_view text) {
  const auto value = parse_strict_json(text);
  if (!value) return std::unexpected(value.error());
  if (!value->is_object()) {
    return std::unexpected(format("invalid type: {}, expected an object of app ids", value->type_name()));
  }
  std::map<std::string, PackageMeta> entries;
  for (const auto& [id, element] : value->items()) {
    auto meta = package_meta_from_json(element);
    if (!meta) return std::unexpected(format("{}: {}", id, meta.error()));
    entries.emplace(id, std::move(*meta));
  }
  return entries;
}

}  // namespace yoxa
