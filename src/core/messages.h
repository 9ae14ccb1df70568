#pragma once
// The fixed user sentences. Every failure the launcher sees ends in one of them.
namespace yoxa::msg {
inline constexpr const char* kCouldNotContactServer =
    "Could not contact server. Please check your internet connection and try again.";
inline constexpr const char* kDownloadFailed =
    "Download failed. Please check your internet connection and try again.";
inline constexpr const char* kVerificationFailed =
    "Installer verification failed. Please try the offline installer or contact support for assistance.";
inline constexpr const char* kUntrustedSource =
    "The download came from an untrusted location, so it was blocked. Please try the offline installer or "
    "contact support for assistance.";
inline constexpr const char* kSystemRequirementsNotMet = "System Requirements Not Met";
inline constexpr const char* kCompatibilityCheckProblem =
    "Problem checking platform compatibility. Please try the offline installer or contact support for assistance.";
inline constexpr const char* kNotEnoughDiskSpace = "Not enough disk space to install the selected apps.";
inline constexpr const char* kNotAvailableOnline = "This app is not available for online installation at this time.";
inline constexpr const char* kUninstallFailed = "Uninstall failed. Please try again or contact support for assistance.";
inline constexpr const char* kAppUninstallFailed =
    "App uninstall failed. Please try again or contact support for assistance.";
inline constexpr const char* kUserCancelled = "User cancelled the operation";
inline constexpr const char* kFilesystemError =
    "Filesystem error. Please try the offline installer or contact support for assistance.";
inline constexpr const char* kPreviousInstallationProblem =
    "Problem checking previous installation. Please try the offline installer or contact support for assistance.";
inline constexpr const char* kInstallationFailed =
    "Installation failed. Please try the offline installer or contact support for assistance.";
inline constexpr const char* kInstallationFailedRestart =
    "Installation failed. Please restart your machine and try again.";
inline constexpr const char* kAnotherInstallation =
    "Another installation is already in progress. Please try again later.";
inline constexpr const char* kWrongProcessor = "This installation package is not supported by this processor type.";
inline constexpr const char* kPackageRestart =
    "App package installation failed. Please restart your machine and try again.";
inline constexpr const char* kWrongWindowsVersion = "This app package is not supported on this version of Windows.";
inline constexpr const char* kBlockedByPolicy =
    "App installation is blocked by policy. Contact your system administrator.";
inline constexpr const char* kConflictingVersion =
    "A conflicting version of this app is already installed. Please uninstall it first.";
inline constexpr const char* kAppInUse = "The app is currently in use. Please close it and try again.";
inline constexpr const char* kCertificateNotTrusted =
    "App package certificate is not trusted on this system. Please contact support for assistance.";
inline constexpr const char* kMissingRuntime =
    "App package is missing a required Windows runtime component. Please contact support for assistance.";
inline constexpr const char* kBlockedByAntivirus =
    "Installation may have been blocked by antivirus or security software. Temporarily disable real-time "
    "protection or add the installer to your allow list, then try again.";
inline constexpr const char* kAppInstallationFailed =
    "App installation failed. Please try the offline installer or contact support for assistance.";
inline constexpr const char* kInstallationCancelledByUser = "Installation cancelled by user.";
inline constexpr const char* kAccessDeniedRunAsAdministrator =
    "Access denied. Please run the installer as an administrator.";
inline constexpr const char* kNoCompatibleApps = "No compatible apps selected for installation";
inline constexpr const char* kExtractFailed = "Failed to extract the embedded package";
inline constexpr const char* kStageBundledFailed = "failed to stage bundled package";
}  // namespace yoxa::msg
