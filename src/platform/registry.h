#pragma once
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/os_error.h"

namespace yoxa::platform {

enum class RegistryHive : std::uint8_t { LocalMachine, CurrentUser };
// Which view of a 64-bit registry a lookup sees: the 32-bit view lands under Wow6432Node.
enum class RegistryView : std::uint8_t { Native, Bits64, Bits32 };

struct RegistryValue {
  enum class Type : std::uint8_t { String, ExpandString, MultiString, Dword, Qword, Binary, Other };
  Type type = Type::Other;
  std::string text;                  // String / ExpandString (not expanded); MultiString joined by '\n'
  std::uint64_t number = 0;          // Dword / Qword
  std::string bytes;                 // Binary and Other: the raw data
};

// The registry. "Not there" is an empty optional; an error is a
// failure to look (access denied, a broken key), which callers treat differently.
class Registry {
 public:
  virtual ~Registry() = default;
  virtual std::expected<std::optional<std::vector<std::string>>, OsError> subkeys(RegistryHive hive,
                                                                               RegistryView view,
                                                                               const std::string& path) = 0;
  virtual std::expected<std::optional<std::vector<std::pair<std::string, RegistryValue>>>, OsError> values(
      RegistryHive hive, RegistryView view, const std::string& path) = 0;
  // The names of a key's values, without reading them, so one unreadable value can be
  // told apart from an unreadable key.
  virtual std::expected<std::optional<std::vector<std::string>>, OsError> value_names(RegistryHive hive,
                                                                                   RegistryView view,
                                                                                   const std::string& path) = 0;
  virtual std::expected<std::optional<RegistryValue>, OsError> value(RegistryHive hive, RegistryView view,
                                                                     const std::string& path,
                                                                     const std::string& name) = 0;

  // Write side: the key and its missing parents are created first.
  // Creates or opens the key with write access and closes it again: can this key be written?
  virtual std::expected<void, OsError> create_key(RegistryHive hive, RegistryView view, const std::string& path) = 0;
  virtual std::expected<void, OsError> write_string(RegistryHive hive, RegistryView view, const std::string& path,
                                                    const std::string& name, const std::string& text) = 0;
  virtual std::expected<void, OsError> write_dword(RegistryHive hive, RegistryView view, const std::string& path,
                                                   const std::string& name, std::uint32_t number) = 0;
  // Removes one value; a value or key that is not there is no error.
  virtual std::expected<void, OsError> delete_value(RegistryHive hive, RegistryView view, const std::string& path,
                                                    const std::string& name) = 0;
  // Removes the key with its subkeys and values; a key that is not there is no error.
  virtual std::expected<void, OsError> delete_tree(RegistryHive hive, RegistryView view,
                                                   const std::string& path) = 0;
};

// The machine's registry (Windows); the POSIX stand-in keeps a directory tree
// rooted at $YOXA_REGISTRY_ROOT (see posix/registry.cpp).
Registry& system_registry();

}  // namespace yoxa::platform
