#include "core/error.h"

#include <array>
#include <utility>

#include "core/messages.h"

namespace yoxa {

namespace {

constexpr std::array<std::string_view, 15> kWireStrings = {
    "DOWNLOAD_FAILED", "VERIFY_FAILED",    "INSTALL_FAILED",  "UNINSTALL_FAILED",
    "UNINSTALL_PERMISSION_DENIED", "UNINSTALL_AUTH_CANCELLED", "NOT_COMPATIBLE", "DISK_SPACE",
    "NETWORK_UNAVAILABLE", "UAC_DECLINED", "CANCELLED", "SKIPPED", "NOT_IMPLEMENTED",
    "UNTRUSTED_SOURCE", "UNKNOWN",
};

// Whole-string, case-sensitive; the first matching row wins.
constexpr std::array<std::pair<const char*, ErrorKind>, 28> kMessageTable = {{
    {msg::kCouldNotContactServer, ErrorKind::NetworkUnavailable},
    {msg::kDownloadFailed, ErrorKind::DownloadFailed},
    {msg::kVerificationFailed, ErrorKind::VerifyFailed},
    {msg::kUntrustedSource, ErrorKind::UntrustedSource},
    {msg::kSystemRequirementsNotMet, ErrorKind::NotCompatible},
    {msg::kCompatibilityCheckProblem, ErrorKind::NotCompatible},
    {msg::kNotEnoughDiskSpace, ErrorKind::DiskSpace},
    {msg::kNotAvailableOnline, ErrorKind::Skipped},
    {msg::kUninstallFailed, ErrorKind::UninstallFailed},
    {msg::kAppUninstallFailed, ErrorKind::UninstallFailed},
    {msg::kUserCancelled, ErrorKind::Cancelled},
    {msg::kFilesystemError, ErrorKind::InstallFailed},
    {msg::kPreviousInstallationProblem, ErrorKind::InstallFailed},
    {msg::kInstallationFailed, ErrorKind::InstallFailed},
    {msg::kInstallationFailedRestart, ErrorKind::InstallFailed},
    {msg::kAnotherInstallation, ErrorKind::InstallFailed},
    {msg::kWrongProcessor, ErrorKind::InstallFailed},
    {msg::kPackageRestart, ErrorKind::InstallFailed},
    {msg::kWrongWindowsVersion, ErrorKind::InstallFailed},
    {msg::kBlockedByPolicy, ErrorKind::InstallFailed},
    {msg::kConflictingVersion, ErrorKind::InstallFailed},
    {msg::kAppInUse, ErrorKind::InstallFailed},
    {msg::kCertificateNotTrusted, ErrorKind::InstallFailed},
    {msg::kMissingRuntime, ErrorKind::InstallFailed},
    {msg::kBlockedByAntivirus, ErrorKind::InstallFailed},
    {msg::kAppInstallationFailed, ErrorKind::InstallFailed},
    {msg::kInstallationCancelledByUser, ErrorKind::Cancelled},
    {msg::kAccessDeniedRunAsAdministrator, ErrorKind::InstallFailed},
}};

}  // namespace

std::string_view wire_string(ErrorKind kind) { return kWireStrings.at(static_cast<std::size_t>(kind)); }

std::string Error::full_text() const {
  return message_ + ": " + detail_ + " (" + std::to_string(place_) + ")";
}

ErrorKind code_for_message(std::string_view message) {
  for (const auto& [text, kind] : kMessageTable) {
    if (message == text) return kind;
  }
  return ErrorKind::Unknown;
}

ErrorKind code_for_error(const Error& error) { return code_for_message(error.message()); }

ErrorKind code_from_wire(std::optional<std::string_view> wire) {
  if (!wire) return ErrorKind::Unknown;
  for (std::size_t i = 0; i < kWireStrings.size(); ++i) {
    if (kWireStrings[i] == *wire) return static_cast<ErrorKind>(i);
  }
  return ErrorKind::Unknown;
}

int exit_code_for_error(const Error& error) {
  switch (code_for_error(error)) {
    case ErrorKind::NetworkUnavailable: return 5;
    case ErrorKind::UacDeclined: return 4;
    default: return 2;
  }
}

}  // namespace yoxa
