#pragma once
#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/text.h"
#include "platform/registry.h"

namespace yoxa::testing {

// An in-memory registry for tests. Each hive has a 64-bit and a 32-bit tree
// (Native reads the 64-bit one); paths and value names match regardless of
// ASCII case. Seeding a key creates its parents. Safe to use from several
// threads.
class FakeRegistry final : public platform::Registry {
 public:
  using Hive = platform::RegistryHive;
  using View = platform::RegistryView;
  using Value = platform::RegistryValue;

  static platform::OsError access_denied() { return {5, "Access is denied. (os error 5)"}; }

  FakeRegistry() {
    for (const Hive hive : {Hive::LocalMachine, Hive::CurrentUser}) {
      for (const View view : {View::Bits64, View::Bits32}) key_for(hive, view, "");
    }
  }

  FakeRegistry& add_key(Hive hive, View view, const std::string& path) {
    std::lock_guard lock(mutex_);
    key_for(hive, view, path);
    return *this;
  }
  FakeRegistry& set(Hive hive, View view, const std::string& path, const std::string& name, Value value) {
    std::lock_guard lock(mutex_);
    auto& values = key_for(hive, view, path).values;
    const auto found = std::find_if(values.begin(), values.end(), [&](const auto& v) { return same(v.first, name); });
    if (found != values.end()) found->second = std::move(value);
    else values.emplace_back(name, std::move(value));
    return *this;
  }
  FakeRegistry& set_string(Hive hive, View view, const std::string& path, const std::string& name,
                           std::string text) {
    Value value;
    value.type = Value::Type::String;
    value.text = std::move(text);
    return set(hive, view, path, name, std::move(value));
  }
  FakeRegistry& set_dword(Hive hive, View view, const std::string& path, const std::string& name,
                          std::uint32_t number) {
    Value value;
    value.type = Value::Type::Dword;
    value.number = number;
    return set(hive, view, path, name, std::move(value));
  }
  // Every look at this key (not its subkeys) fails with `error`; its parent still lists it.
  FakeRegistry& fail_key(Hive hive, View view, const std::string& path,
                         platform::OsError error = access_denied()) {
    std::lock_guard lock(mutex_);
    key_for(hive, view, path).failure = std::move(error);
    return *this;
  }

  // Reading this one value fails with `error`; it is still listed by name.
  FakeRegistry& fail_value(Hive hive, View view, const std::string& path, const std::string& name,
                           platform::OsError error = access_denied()) {
    std::lock_guard lock(mutex_);
    key_for(hive, view, path).failing_values.emplace_back(ascii_lower(name), std::move(error));
    return *this;
  }

  // Writing this one value fails with `error`; the key itself opens.
  FakeRegistry& fail_value_write(Hive hive, View view, const std::string& path, const std::string& name,
                                 platform::OsError error = access_denied()) {
    std::lock_guard lock(mutex_);
    key_for(hive, view, path).failing_writes.emplace_back(ascii_lower(name), std::move(error));
    return *this;
  }

  // Registry calls made so far, to check that a code path left the registry alone.
  int calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  std::expected<std::optional<std::vector<std::string>>, platform::OsError> subkeys(
      Hive hive, View view, const std::string& path) override {
    std::lock_guard lock(mutex_);
    const auto* key = find(hive, view, path);
    if (!key) return std::nullopt;
    if (key->failure) return std::unexpected(*key->failure);
    const std::string prefix = path_key(path).empty() ? std::string() : path_key(path) + "\\";
    std::vector<std::string> names;
    for (auto it = keys_.lower_bound({hive, tree(view), prefix}); it != keys_.end(); ++it) {
      const auto& [h, t, p] = it->first;
      if (h != hive || t != tree(view) || !p.starts_with(prefix)) break;
      if (p.size() > prefix.size() && p.find('\\', prefix.size()) == std::string::npos) {
        names.push_back(it->second.name);
      }
    }
    return names;
  }

  std::expected<std::optional<std::vector<std::pair<std::string, Value>>>, platform::OsError> values(
      Hive hive, View view, const std::string& path) override {
    std::lock_guard lock(mutex_);
    const auto* key = find(hive, view, path);
    if (!key) return std::nullopt;
    if (key->failure) return std::unexpected(*key->failure);
    return key->values;
  }

  std::expected<std::optional<std::vector<std::string>>, platform::OsError> value_names(
      Hive hive, View view, const std::string& path) override {
    std::lock_guard lock(mutex_);
    const auto* key = find(hive, view, path);
    if (!key) return std::nullopt;
    if (key->failure) return std::unexpected(*key->failure);
    std::vector<std::string> names;
    for (const auto& [name, value] : key->values) names.push_back(name);
    return names;
  }

  std::expected<std::optional<Value>, platform::OsError> value(Hive hive, View view, const std::string& path,
                                                               const std::string& name) override {
    std::lock_guard lock(mutex_);
    const auto* key = find(hive, view, path);
    if (!key) return std::nullopt;
    if (key->failure) return std::unexpected(*key->failure);
    for (const auto& [failing, error] : key->failing_values) {
      if (failing == ascii_lower(name)) return std::unexpected(error);
    }
    for (const auto& [value_name, value] : key->values) {
      if (same(value_name, name)) return value;
    }
    return std::nullopt;
  }

  std::expected<void, platform::OsError> write_string(Hive hive, View view, const std::string& path,
                                                      const std::string& name, const std::string& text) override {
    if (auto failure = write_failure(hive, view, path)) return std::unexpected(*failure);
    set_string(hive, view, path, name, text);
    return {};
  }
  std::expected<void, platform::OsError> create_key(Hive hive, View view, const std::string& path) override {
    if (auto failure = write_failure(hive, view, path)) return std::unexpected(*failure);
    std::lock_guard lock(mutex_);
    ++calls_;
    (void)key_for(hive, view, path);
    return {};
  }
  std::expected<void, platform::OsError> write_dword(Hive hive, View view, const std::string& path,
                                                     const std::string& name, std::uint32_t number) override {
    if (auto failure = write_failure(hive, view, path)) return std::unexpected(*failure);
    if (auto failure = value_write_failure(hive, view, path, name)) return std::unexpected(*failure);
    set_dword(hive, view, path, name, number);
    return {};
  }
  std::expected<void, platform::OsError> delete_value(Hive hive, View view, const std::string& path,
                                                      const std::string& name) override {
    if (auto failure = write_failure(hive, view, path)) return std::unexpected(*failure);
    std::lock_guard lock(mutex_);
    ++calls_;
    const auto found = keys_.find({hive, tree(view), path_key(path)});
    if (found != keys_.end()) std::erase_if(found->second.values, [&](const auto& v) { return same(v.first, name); });
    return {};
  }
  std::expected<void, platform::OsError> delete_tree(Hive hive, View view, const std::string& path) override {
    std::lock_guard lock(mutex_);
    ++calls_;
    const std::string prefix = path_key(path);
    for (auto it = keys_.begin(); it != keys_.end();) {
      const auto& [h, t, p] = it->first;
      const bool inside = h == hive && t == tree(view) && (p == prefix || p.starts_with(prefix + "\\"));
      it = inside ? keys_.erase(it) : std::next(it);
    }
    return {};
  }

 private:
  std::optional<platform::OsError> value_write_failure(Hive hive, View view, const std::string& path,
                                                      const std::string& name) {
    std::lock_guard lock(mutex_);
    if (const auto* key = find(hive, view, path)) {
      for (const auto& [failing, error] : key->failing_writes) {
        if (failing == ascii_lower(name)) return error;
      }
    }
    return std::nullopt;
  }
  std::optional<platform::OsError> write_failure(Hive hive, View view, const std::string& path) {
    std::lock_guard lock(mutex_);
    const auto* key = find(hive, view, path);
    if (key && key->failure) return key->failure;
    return std::nullopt;
  }

  struct Key {
    std::string name;  // the last path component as first seeded
    std::vector<std::pair<std::string, Value>> values;
    std::optional<platform::OsError> failure;
    std::vector<std::pair<std::string, platform::OsError>> failing_values;  // lower-cased names
    std::vector<std::pair<std::string, platform::OsError>> failing_writes;  // lower-cased names
  };
  using Id = std::tuple<Hive, bool, std::string>;  // hive, 32-bit tree, lower-cased path

  static bool tree(View view) { return view == View::Bits32; }
  static bool same(std::string_view a, std::string_view b) { return ascii_lower(a) == ascii_lower(b); }
  static std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    for (auto& part : split(path, '\\')) {
      if (!part.empty()) parts.push_back(std::move(part));
    }
    return parts;
  }
  static std::string path_key(const std::string& path) { return ascii_lower(join(components(path), "\\")); }

  Key& key_for(Hive hive, View view, const std::string& path) {
    std::string sofar;
    Key* key = &keys_[{hive, tree(view), ""}];
    for (const auto& part : components(path)) {
      sofar += (sofar.empty() ? "" : "\\") + ascii_lower(part);
      key = &keys_[{hive, tree(view), sofar}];
      if (key->name.empty()) key->name = part;
    }
    return *key;
  }
  const Key* find(Hive hive, View view, const std::string& path) {
    ++calls_;
    const auto found = keys_.find({hive, tree(view), path_key(path)});
    return found == keys_.end() ? nullptr : &found->second;
  }

  mutable std::mutex mutex_;
  std::map<Id, Key> keys_;
  int calls_ = 0;
};

}  // namespace yoxa::testing
