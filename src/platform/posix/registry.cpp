// The registry stand-in: a directory tree that tests seed.
//
//   $YOXA_REGISTRY_ROOT/<HKLM|HKCU>/<64|32>/<key path, '\' as '/'>/<value name>.<type>
//
// Native reads the "64" tree, as on 64-bit Windows. <type> is sz, expand_sz,
// multi_sz (one string per line), dword or qword (decimal) or binary; the
// default value is named "@". Names match regardless of ASCII case. Without
// the variable every key is absent, and writes fail.
#include "platform/registry.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>

#include "core/text.h"
#include "platform/system.h"

namespace yoxa::platform {

namespace {

namespace fs = std::filesystem;
using Type = RegistryValue::Type;

OsError errno_error(int code) {
  return OsError{static_cast<std::uint32_t>(code), format("{} (os error {})", std::strerror(code), code)};
}

bool same_name(std::string_view a, std::string_view b) { return ascii_lower(a) == ascii_lower(b); }

struct Entry {
  std::string name;
  fs::path path;
  bool directory = false;
};

std::expected<std::vector<Entry>, OsError> entries(const fs::path& directory) {
  std::vector<Entry> list;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    list.push_back({it->path().filename().string(), it->path(), it->is_directory(ignored)});
  }
  if (error) return std::unexpected(errno_error(error.value()));
  return list;
}

std::expected<std::optional<fs::path>, OsError> open_key(RegistryHive hive, RegistryView view,
                                                         const std::string& path) {
  const auto root = environment_variable("YOXA_REGISTRY_ROOT");
  if (!root || root->empty()) return std::nullopt;
  fs::path key = fs::path(*root) / (hive == RegistryHive::LocalMachine ? "HKLM" : "HKCU") /
                 (view == RegistryView::Bits32 ? "32" : "64");
  std::error_code ignored;
  if (!fs::is_directory(key, ignored)) return std::nullopt;
  for (const auto& component : split(path, '\\')) {
    if (component.empty()) continue;
    auto list = entries(key);
    if (!list) return std::unexpected(list.error());
    const auto found = std::find_if(list->begin(), list->end(), [&](const Entry& entry) {
      return entry.directory && same_name(entry.name, component);
    });
    if (found == list->end()) return std::nullopt;
    key = found->path;
  }
  return key;
}

// A value file's name and type; none for files that are not values.
std::optional<std::pair<std::string, Type>> parse_value_file(const Entry& entry) {
  static constexpr std::pair<std::string_view, Type> kTypes[] = {
      {"sz", Type::String}, {"expand_sz", Type::ExpandString}, {"multi_sz", Type::MultiString},
      {"dword", Type::Dword}, {"qword", Type::Qword},          {"binary", Type::Binary},
  };
  const auto dot = entry.name.rfind('.');
  if (entry.directory || dot == std::string::npos) return std::nullopt;
  const std::string_view suffix = std::string_view(entry.name).substr(dot + 1);
  for (const auto& [name, type] : kTypes) {
    if (suffix == name) {
      std::string value_name = entry.name.substr(0, dot);
      return std::pair(value_name == "@" ? std::string() : std::move(value_name), type);
    }
  }
  return std::nullopt;
}

std::expected<std::string, OsError> read_file(const fs::path& path) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return std::unexpected(errno_error(errno));
  std::string content;
  char buffer[4096];
  std::size_t read = 0;
  while ((read = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) content.append(buffer, read);
  if (std::ferror(file.get())) return std::unexpected(errno_error(EIO));
  return content;
}

std::expected<RegistryValue, OsError> load(const fs::path& path, Type type) {
  auto content = read_file(path);
  if (!content) return std::unexpected(content.error());
  RegistryValue value;
  value.type = type;
  switch (type) {
    case Type::Dword:
    case Type::Qword: {
      const std::string_view digits = trim(*content);
      const std::uint64_t limit =
          type == Type::Dword ? std::numeric_limits<std::uint32_t>::max() : std::numeric_limits<std::uint64_t>::max();
      const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value.number);
      if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || value.number > limit) {
        return std::unexpected(OsError{EINVAL, format("malformed number in {}", path.string())});
      }
      break;
    }
    case Type::MultiString:
      while (!content->empty() && content->back() == '\n') content->pop_back();
      value.text = std::move(*content);
      break;
    case Type::Binary:
      value.bytes = std::move(*content);
      break;
    default:
      value.text = std::move(*content);
  }
  return value;
}

// The directory of a key for writing, created with its parents; existing components are
// reused whatever their letter case.
std::expected<fs::path, OsError> create_key(RegistryHive hive, RegistryView view, const std::string& path) {
  const auto root = environment_variable("YOXA_REGISTRY_ROOT");
  if (!root || root->empty()) return std::unexpected(errno_error(ENOENT));
  fs::path key = fs::path(*root) / (hive == RegistryHive::LocalMachine ? "HKLM" : "HKCU") /
                 (view == RegistryView::Bits32 ? "32" : "64");
  std::error_code error;
  fs::create_directories(key, error);
  if (error) return std::unexpected(errno_error(error.value()));
  for (const auto& component : split(path, '\\')) {
    if (component.empty()) continue;
    auto list = entries(key);
    if (!list) return std::unexpected(list.error());
    const auto found = std::find_if(list->begin(), list->end(), [&](const Entry& entry) {
      return entry.directory && same_name(entry.name, component);
    });
    if (found != list->end()) {
      key = found->path;
      continue;
    }
    key /= component;
    fs::create_directory(key, error);
    if (error) return std::unexpected(errno_error(error.value()));
  }
  return key;
}

std::expected<void, OsError> write_value(RegistryHive hive, RegistryView view, const std::string& path,
                                         const std::string& name, std::string_view suffix, const std::string& data) {
  auto key = create_key(hive, view, path);
  if (!key) return std::unexpected(key.error());
  // One file per value: drop any older file of the name with another type.
  auto list = entries(*key);
  if (!list) return std::unexpected(list.error());
  for (const auto& entry : *list) {
    const auto parsed = parse_value_file(entry);
    std::error_code ignored;
    if (parsed && same_name(parsed->first, name)) fs::remove(entry.path, ignored);
  }
  const fs::path file = *key / ((name.empty() ? std::string("@") : name) + "." + std::string(suffix));
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(file.c_str(), "wb"), &std::fclose);
  if (!out) return std::unexpected(errno_error(errno));
  if (std::fwrite(data.data(), 1, data.size(), out.get()) != data.size()) return std::unexpected(errno_error(EIO));
  return {};
}

bool name_order(std::string_view a, std::string_view b) { return ascii_lower(a) < ascii_lower(b); }

// The names `pick` takes from a key's entries (subkeys or values), in name order; none when the key is absent.
template <class Pick>
std::expected<std::optional<std::vector<std::string>>, OsError> names_in(RegistryHive hive, RegistryView view,
                                                                       const std::string& path, Pick pick) {
  auto key = open_key(hive, view, path);
  if (!key) return std::unexpected(key.error());
  if (!*key) return std::nullopt;
  auto list = entries(**key);
  if (!list) return std::unexpected(list.error());
  std::vector<std::string> names;
  for (const auto& entry : *list) {
    if (auto name = pick(entry)) names.push_back(std::move(*name));
  }
  std::sort(names.begin(), names.end(), name_order);
  return names;
}

class DirectoryRegistry final : public Registry {
 public:
  std::expected<std::optional<std::vector<std::string>>, OsError> subkeys(RegistryHive hive, RegistryView view,
                                                                         const std::string& path) override {
    return names_in(hive, view, path, [](const Entry& entry) -> std::optional<std::string> {
      if (entry.directory) return entry.name;
      return std::nullopt;
    });
  }

  std::expected<std::optional<std::vector<std::pair<std::string, RegistryValue>>>, OsError> values(
      RegistryHive hive, RegistryView view, const std::string& path) override {
    using Values = std::vector<std::pair<std::string, RegistryValue>>;
    auto key = open_key(hive, view, path);
    if (!key) return std::unexpected(key.error());
    if (!*key) return std::nullopt;
    auto list = entries(**key);
    if (!list) return std::unexpected(list.error());
    Values result;
    for (const auto& entry : *list) {
      auto parsed = parse_value_file(entry);
      if (!parsed) continue;
      auto value = load(entry.path, parsed->second);
      if (!value) return std::unexpected(value.error());
      result.emplace_back(std::move(parsed->first), std::move(*value));
    }
    std::sort(result.begin(), result.end(), [](const auto& a, const auto& b) { return name_order(a.first, b.first); });
    return result;
  }

  std::expected<std::optional<std::vector<std::string>>, OsError> value_names(RegistryHive hive, RegistryView view,
                                                                             const std::string& path) override {
    return names_in(hive, view, path, [](const Entry& entry) -> std::optional<std::string> {
      if (auto parsed = parse_value_file(entry)) return std::move(parsed->first);
      return std::nullopt;
    });
  }

  std::expected<std::optional<RegistryValue>, OsError> value(RegistryHive hive, RegistryView view,
                                                             const std::string& path,
                                                             const std::string& name) override {
    auto key = open_key(hive, view, path);
    if (!key) return std::unexpected(key.error());
    if (!*key) return std::nullopt;
    auto list = entries(**key);
    if (!list) return std::unexpected(list.error());
    for (const auto& entry : *list) {
      const auto parsed = parse_value_file(entry);
      if (parsed && same_name(parsed->first, name)) return load(entry.path, parsed->second);
    }
    return std::nullopt;
  }

  std::expected<void, OsError> create_key(RegistryHive hive, RegistryView view, const std::string& path) override {
    auto key = platform::create_key(hive, view, path);
    if (!key) return std::unexpected(key.error());
    return {};
  }

  std::expected<void, OsError> write_string(RegistryHive hive, RegistryView view, const std::string& path,
                                            const std::string& name, const std::string& text) override {
    return write_value(hive, view, path, name, "sz", text);
  }

  std::expected<void, OsError> write_dword(RegistryHive hive, RegistryView view, const std::string& path,
                                           const std::string& name, std::uint32_t number) override {
    return write_value(hive, view, path, name, "dword", std::to_string(number));
  }

  std::expected<void, OsError> delete_value(RegistryHive hive, RegistryView view, const std::string& path,
                                            const std::string& name) override {
    auto key = open_key(hive, view, path);
    if (!key) return std::unexpected(key.error());
    if (!*key) return {};
    auto list = entries(**key);
    if (!list) return std::unexpected(list.error());
    for (const auto& entry : *list) {
      const auto parsed = parse_value_file(entry);
      std::error_code error;
      if (parsed && same_name(parsed->first, name) && !fs::remove(entry.path, error) && error) {
        return std::unexpected(errno_error(error.value()));
      }
    }
    return {};
  }

  std::expected<void, OsError> delete_tree(RegistryHive hive, RegistryView view, const std::string& path) override {
    auto key = open_key(hive, view, path);
    if (!key) return std::unexpected(key.error());
    if (!*key) return {};
    std::error_code error;
    fs::remove_all(**key, error);
    if (error) return std::unexpected(errno_error(error.value()));
    return {};
  }
};

}  // namespace

Registry& system_registry() {
  static DirectoryRegistry registry;
  return registry;
}

}  // namespace yoxa::platform
