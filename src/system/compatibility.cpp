#include "system/compatibility.h"

#include <charconv>
#include <optional>
#include <string>

#include "core/messages.h"
#include "core/places.h"
#include "core/text.h"
#include "core/log.h"

namespace yoxa {

namespace {

using platform::RegistryHive;
using platform::RegistryValue;
using platform::RegistryView;

// Error places of this module.

constexpr const char* kVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* kEnvironmentKey = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr const char* kUnknownArchitecture = "Could not determine system architecture.";

bool is_string(const RegistryValue& value) {
  return value.type == RegistryValue::Type::String || value.type == RegistryValue::Type::ExpandString ||
         value.type == RegistryValue::Type::MultiString;
}

std::string without_trailing_nuls(std::string text) {
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

std::optional<std::uint32_t> parse_decimal(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  std::uint32_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return number;
}

// Older Windows lacks these values; they only feed the log, so a default will do.
std::uint32_t version_number(platform::Registry& registry, const char* name, std::uint32_t fallback) {
  const auto value = registry.value(RegistryHive::LocalMachine, RegistryView::Bits64, kVersionKey, name);
  if (value && *value && (*value)->type == RegistryValue::Type::Dword) {
    return static_cast<std::uint32_t>((*value)->number);
  }
  log::warn(format("{} not found, defaulting to {}", name, fallback));
  return fallback;
}

}  // namespace

std::string_view display_text(ProcessorArch arch) {
  switch (arch) {
    case ProcessorArch::X86:
      return "x86";
    case ProcessorArch::X64:
      return "x64";
    case ProcessorArch::Arm64:
      return "arm64";
    case ProcessorArch::Unknown:
      break;
  }
  return "unknown";
}

Result<std::uint32_t> windows_build(platform::Registry& registry) {
  const auto value =
      registry.value(RegistryHive::LocalMachine, RegistryView::Bits64, kVersionKey, "CurrentBuildNumber");
  if (!value) return fail(msg::kCompatibilityCheckProblem, value.error().text, place::kCompatibilityVersionKey);
  const std::string text = *value && is_string(**value) ? without_trailing_nuls((*value)->text) : std::string();
  if (text.empty()) return fail(msg::kCompatibilityCheckProblem, "CurrentBuildNumber not found", place::kCompatibilityBuildMissing);
  const auto build = parse_decimal(text);
  if (!build) {
    return fail(msg::kCompatibilityCheckProblem, format("CurrentBuildNumber '{}' is not a number", text),
                place::kCompatibilityBuildParse);
  }
  const std::uint32_t major = version_number(registry, "CurrentMajorVersionNumber", 10);
  const std::uint32_t minor = version_number(registry, "CurrentMinorVersionNumber", 0);
  log::info(format("Windows version info: Major={}, Minor={}, Build={}", major, minor, *build));
  return *build;
}

Result<std::uint32_t> windows_build() { return windows_build(platform::system_registry()); }

ProcessorArch processor_architecture(platform::Registry& registry) {
  const auto value =
      registry.value(RegistryHive::LocalMachine, RegistryView::Bits64, kEnvironmentKey, "PROCESSOR_ARCHITECTURE");
  const std::string stored =
      value && *value && is_string(**value) ? without_trailing_nuls((*value)->text) : std::string();
  if (stored.empty()) {
    log::warn(kUnknownArchitecture);
    return ProcessorArch::Unknown;
  }
  log::info(format("Detected Architecture: {}", stored));
  std::string upper = stored;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (upper == "AMD64") return ProcessorArch::X64;
  if (upper == "ARM64") return ProcessorArch::Arm64;
  if (upper == "X86") return ProcessorArch::X86;
  log::warn(format("Unknown architecture in registry: {}", stored));
  log::warn(kUnknownArchitecture);
  return ProcessorArch::Unknown;
}

ProcessorArch processor_architecture() { return processor_architecture(platform::system_registry()); }

}  // namespace yoxa
