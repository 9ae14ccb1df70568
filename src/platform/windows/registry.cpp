#include "platform/registry.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/windows/handle.h"
#include "platform/windows/win.h"

namespace yoxa::platform {

namespace {

using win::UniqueKey;

// Reg* functions return their error instead of setting the last error.
OsError registry_error(LSTATUS status) {
  const DWORD code = static_cast<DWORD>(status);
  return OsError{code, win::error_text(code)};
}

// Value names may be 16,383 characters long; key names are shorter.
constexpr std::size_t kNameBuffer = 16384;
// Past this something is wrong with the key, not with our buffer.
constexpr std::size_t kNameBufferLimit = 16 * kNameBuffer;

REGSAM view_flag(RegistryView view) {
  if (view == RegistryView::Bits64) return KEY_WOW64_64KEY;
  if (view == RegistryView::Bits32) return KEY_WOW64_32KEY;
  return 0;
}

HKEY root_of(RegistryHive hive) { return hive == RegistryHive::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

std::expected<std::optional<UniqueKey>, OsError> open_key(RegistryHive hive, RegistryView view,
                                                          const std::string& path) {
  UniqueKey key;
  const LSTATUS status = RegOpenKeyExW(root_of(hive), win::wide(path).c_str(), 0, KEY_READ | view_flag(view), key.out());
  if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
  if (status != ERROR_SUCCESS) return std::unexpected(registry_error(status));
  return std::optional<UniqueKey>(std::move(key));
}

std::expected<UniqueKey, OsError> create_key(RegistryHive hive, RegistryView view, const std::string& path,
                                             REGSAM access = KEY_SET_VALUE) {
  UniqueKey key;
  const LSTATUS status = RegCreateKeyExW(root_of(hive), win::wide(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         access | view_flag(view), nullptr, key.out(), nullptr);
  if (status != ERROR_SUCCESS) return std::unexpected(registry_error(status));
  return key;
}

std::expected<void, OsError> set_value(RegistryHive hive, RegistryView view, const std::string& path,
                                       const std::string& name, DWORD type, const void* data, std::size_t size) {
  auto key = create_key(hive, view, path);
  if (!key) return std::unexpected(key.error());
  const LSTATUS status = RegSetValueExW(key->get(), win::wide(name).c_str(), 0, type,
                                        static_cast<const BYTE*>(data), static_cast<DWORD>(size));
  if (status != ERROR_SUCCESS) return std::unexpected(registry_error(status));
  return {};
}

// Names of subkeys or values by index until the registry has no more.
template <class EnumerateAt>
std::expected<std::vector<std::wstring>, OsError> enumerate_names(EnumerateAt enumerate_at) {
  std::vector<wchar_t> buffer(kNameBuffer);
  std::vector<std::wstring> names;
  for (DWORD index = 0;;) {
    DWORD length = static_cast<DWORD>(buffer.size());
    const LSTATUS status = enumerate_at(index, buffer.data(), &length);
    if (status == ERROR_NO_MORE_ITEMS) return names;
    if (status == ERROR_MORE_DATA && buffer.size() < kNameBufferLimit) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != ERROR_SUCCESS) return std::unexpected(registry_error(status));
    names.emplace_back(buffer.data(), length);
    ++index;
  }
}

// UTF-16 data as UTF-8, without the terminating NULs it may or may not carry.
std::string registry_text(const std::vector<BYTE>& data) {
  std::wstring text(data.size() / sizeof(wchar_t), L'\0');
  std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return win::narrow(text);
}

std::uint64_t little_endian(const std::vector<BYTE>& data) {
  std::uint64_t number = 0;
  for (std::size_t i = data.size(); i-- > 0;) number = (number << 8) | data[i];
  return number;
}

RegistryValue convert(DWORD type, std::vector<BYTE> data) {
  RegistryValue value;
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      value.type = type == REG_SZ ? RegistryValue::Type::String : RegistryValue::Type::ExpandString;
      value.text = registry_text(data);
      return value;
    case REG_MULTI_SZ:
      value.type = RegistryValue::Type::MultiString;
      value.text = registry_text(data);
      std::replace(value.text.begin(), value.text.end(), '\0', '\n');
      return value;
    // A number of the wrong size is kept raw rather than guessed at.
    case REG_DWORD:
    case REG_QWORD:
      if (data.size() == (type == REG_DWORD ? 4u : 8u)) {
        value.type = type == REG_DWORD ? RegistryValue::Type::Dword : RegistryValue::Type::Qword;
        value.number = little_endian(data);
        return value;
      }
      break;
    case REG_BINARY:
      value.type = RegistryValue::Type::Binary;
      break;
    default:
      break;
  }
  value.bytes.assign(data.begin(), data.end());
  return value;
}

std::expected<std::optional<RegistryValue>, OsError> read_value(HKEY key, const std::wstring& name) {
  std::vector<BYTE> data(512);
  while (true) {
    DWORD type = REG_NONE;
    DWORD size = static_cast<DWORD>(data.size());
    const LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
    if (status == ERROR_SUCCESS) {
      data.resize(size);
      return convert(type, std::move(data));
    }
    if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
    if (status != ERROR_MORE_DATA) return std::unexpected(registry_error(status));
    // The value may grow again before the next read: ask until it fits.
    data.resize(std::max<std::size_t>(size, data.size() * 2));
  }
}

// The names of a key's subkeys (RegEnumKeyExW) or values (RegEnumValueW); none when the key is absent.
template <class Enumerate>
std::expected<std::optional<std::vector<std::string>>, OsError> names_in(RegistryHive hive, RegistryView view,
                                                                       const std::string& path, Enumerate enumerate) {
  auto key = open_key(hive, view, path);
  if (!key) return std::unexpected(key.error());
  if (!*key) return std::nullopt;
  const HKEY handle = (*key)->get();
  auto names = enumerate_names([handle, enumerate](DWORD index, wchar_t* name, DWORD* length) {
    return enumerate(handle, index, name, length, nullptr, nullptr, nullptr, nullptr);
  });
  if (!names) return std::unexpected(names.error());
  std::vector<std::string> result;
  for (const auto& name : *names) result.push_back(win::narrow(name));
  return result;
}

class WindowsRegistry final : public Registry {
 public:
  std::expected<std::optional<std::vector<std::string>>, OsError> subkeys(RegistryHive hive, RegistryView view,
                                                                         const std::string& path) override {
    return names_in(hive, view, path, RegEnumKeyExW);
  }

  std::expected<std::optional<std::vector<std::pair<std::string, RegistryValue>>>, OsError> values(
      RegistryHive hive, RegistryView view, const std::string& path) override {
    auto key = open_key(hive, view, path);
    if (!key) return std::unexpected(key.error());
    if (!*key) return std::nullopt;
    const HKEY handle = (*key)->get();
    auto names = enumerate_names([handle](DWORD index, wchar_t* name, DWORD* length) {
      return RegEnumValueW(handle, index, name, length, nullptr, nullptr, nullptr, nullptr);
    });
    if (!names) return std::unexpected(names.error());
    std::vector<std::pair<std::string, RegistryValue>> result;
    for (const auto& name : *names) {
      auto value = read_value(handle, name);
      if (!value) return std::unexpected(value.error());
      if (*value) result.emplace_back(win::narrow(name), std::move(**value));  // else deleted meanwhile
    }
    return result;
  }

  std::expected<std::optional<std::vector<std::string>>, OsError> value_names(RegistryHive hive, RegistryView view,
                                                                             const std::string& path) override {
    return names_in(hive, view, path, RegEnumValueW);
  }

  std::expected<std::optional<RegistryValue>, OsError> value(RegistryHive hive, RegistryView view,
                                                             const std::string& path,
                                                             const std::string& name) override {
    auto key = open_key(hive, view, path);
    if (!key) return std::unexpected(key.error());
    if (!*key) return std::nullopt;
    return read_value((*key)->get(), win::wide(name));
  }

  std::expected<void, OsError> create_key(RegistryHive hive, RegistryView view, const std::string& path) override {
    auto key = platform::create_key(hive, view, path, KEY_WRITE);
    if (!key) return std::unexpected(key.error());
    return {};
  }

  std::expected<void, OsError> write_string(RegistryHive hive, RegistryView view, const std::string& path,
                                            const std::string& name, const std::string& text) override {
    const std::wstring data = win::wide(text);
    return set_value(hive, view, path, name, REG_SZ, data.c_str(), (data.size() + 1) * sizeof(wchar_t));
  }

  std::expected<void, OsError> write_dword(RegistryHive hive, RegistryView view, const std::string& path,
                                           const std::string& name, std::uint32_t number) override {
    const DWORD data = number;
    return set_value(hive, view, path, name, REG_DWORD, &data, sizeof data);
  }

  std::expected<void, OsError> delete_value(RegistryHive hive, RegistryView view, const std::string& path,
                                            const std::string& name) override {
    UniqueKey key;
    LSTATUS status = RegOpenKeyExW(root_of(hive), win::wide(path).c_str(), 0, KEY_SET_VALUE | view_flag(view),
                                   key.out());
    if (status == ERROR_SUCCESS) status = RegDeleteValueW(key.get(), win::wide(name).c_str());
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_SUCCESS) return {};
    return std::unexpected(registry_error(status));
  }

  std::expected<void, OsError> delete_tree(RegistryHive hive, RegistryView view, const std::string& path) override {
    // RegDeleteTreeW has no view flag: open the parent in the view and delete the leaf below it.
    const auto split_at = path.find_last_of('\\');
    const std::string parent = split_at == std::string::npos ? std::string() : path.substr(0, split_at);
    const std::string leaf = split_at == std::string::npos ? path : path.substr(split_at + 1);
    UniqueKey key;
    LSTATUS status = RegOpenKeyExW(root_of(hive), win::wide(parent).c_str(), 0,
                                   DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | view_flag(view),
                                   key.out());
    if (status == ERROR_SUCCESS) status = RegDeleteTreeW(key.get(), win::wide(leaf).c_str());
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_SUCCESS) return {};
    return std::unexpected(registry_error(status));
  }
};

}  // namespace

Registry& system_registry() {
  static WindowsRegistry registry;
  return registry;
}

}  // namespace yoxa::platform
