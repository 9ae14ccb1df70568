#include "install/msix_failure.h"

#include <utility>

#include "core/messages.h"

namespace yoxa {

namespace {

constexpr std::pair<std::string_view, const char*> kCodeMessages[] = {
    {"0x800B0109", msg::kCertificateNotTrusted}, {"0x80073CF3", msg::kMissingRuntime},
    {"0x80073CF9", msg::kPackageRestart},        {"0x80073CFB", msg::kConflictingVersion},
    {"0x80073CFD", msg::kWrongWindowsVersion},   {"0x80073CFF", msg::kBlockedByPolicy},
    {"0x80073D01", msg::kBlockedByPolicy},       {"0x80073D02", msg::kAppInUse},
    {"0x800700E1", msg::kBlockedByAntivirus},    {"0x800700E2", msg::kBlockedByAntivirus},
    {"0x80070005", msg::kBlockedByAntivirus},
};

}  // namespace

std::optional<std::string> missing_framework_name(std::string_view error_text) {
  constexpr std::string_view kLead = "Provide the framework \"";
  const auto lead = error_text.find(kLead);
  if (lead == std::string_view::npos) return std::nullopt;
  const auto start = lead + kLead.size();
  const auto end = error_text.find('"', start);
  if (end == std::string_view::npos) return std::nullopt;
  return std::string(error_text.substr(start, end - start));
}

std::string msix_failure_message(std::string_view error_text) {
  // A missing framework is a missing runtime component, named.
  if (auto name = missing_framework_name(error_text)) {
    return std::string(msg::kMissingRuntime) + " Missing framework: " + *name;
  }
  for (const auto& [code, message] : kCodeMessages) {
    if (error_text.find(code) != std::string_view::npos) return message;
  }
  return msg::kAppInstallationFailed;
}

}  // namespace yoxa
