#include "acquisition/release_sequence.h"

#include <algorithm>
#include <charconv>

#include "core/text.h"
#include "platform/security.h"

namespace yoxa {

namespace {
using platform::RegistryHive;
using platform::RegistryValue;
using platform::RegistryView;

const char* hive_name(RegistryHive hive) { return hive == RegistryHive::LocalMachine ? "HKLM" : "HKCU"; }
}  // namespace

std::expected<std::uint64_t, std::string> RegistrySequenceStore::read(RegistryHive hive, const std::string& name) {
  const auto where = [&] { return format("{}\\{} value '{}'", hive_name(hive), kReleaseSequenceKey, name); };
  auto found = registry_.value(hive, RegistryView::Native, kReleaseSequenceKey, name);
  if (!found) return std::unexpected(format("cannot read {}: {}", where(), found.error().text));
  if (!*found) return 0;
  const RegistryValue& value = **found;
  if (value.type == RegistryValue::Type::Dword || value.type == RegistryValue::Type::Qword) return value.number;
  std::uint64_t number = 0;
  const std::string& text = value.text;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (value.type != RegistryValue::Type::String || text.empty() || error != std::errc() ||
      end != text.data() + text.size()) {
    return std::unexpected(format("{} is not a decimal sequence number", where()));
  }
  return number;
}

std::expected<std::uint64_t, std::string> RegistrySequenceStore::highest(const std::string& name) {
  auto machine = read(RegistryHive::LocalMachine, name);
  if (!machine || elevated_) return machine;
  auto user = read(RegistryHive::CurrentUser, name);
  if (!user) return user;
  return std::max(*machine, *user);
}

std::expected<void, std::string> RegistrySequenceStore::raise(const std::string& name, std::uint64_t sequence) {
  const RegistryHive hive = elevated_ ? RegistryHive::LocalMachine : RegistryHive::CurrentUser;
  auto written = registry_.write_string(hive, RegistryView::Native, kReleaseSequenceKey, name, std::to_string(sequence));
  if (!written) {
    return std::unexpected(
        format("cannot write {}\\{} value '{}': {}", hive_name(hive), kReleaseSequenceKey, name, written.error().text));
  }
  return {};
}

ReleaseSequenceStore& system_release_sequence_store() {
  static RegistrySequenceStore store(platform::system_registry(), platform::is_elevated());
  return store;
}

std::string release_sequence_name(const std::string& flavour, const std::string& release, const std::string& app) {
  return format("{}/{}/{}", flavour, release, app);
}

}  // namespace yoxa
