#pragma once
#include <cstdint>

// The place numbers errors carry in their "(n)", one list for the whole engine so that no two
// places share a number: the thousands name the subsystem, the hundreds the module.
namespace yoxa::place {

// CDN metadata
inline constexpr std::uint32_t kCdnNoOrigin = 2301;
inline constexpr std::uint32_t kCdnUnknownApp = 2302;
inline constexpr std::uint32_t kCdnTransport = 2303;
inline constexpr std::uint32_t kCdnBodyRead = 2304;
inline constexpr std::uint32_t kCdnNotUtf8 = 2305;
inline constexpr std::uint32_t kCdnNotFound = 2306;
inline constexpr std::uint32_t kCdnStatus = 2307;
inline constexpr std::uint32_t kCdnUnparseable = 2308;
inline constexpr std::uint32_t kCdnSignatureFetch = 2309;
inline constexpr std::uint32_t kCdnSignatureMalformed = 2310;
inline constexpr std::uint32_t kCdnSignatureInvalid = 2311;
inline constexpr std::uint32_t kCdnClaimsUnreadable = 2312;
inline constexpr std::uint32_t kCdnOtherApp = 2313;
inline constexpr std::uint32_t kCdnMetaExpired = 2314;
inline constexpr std::uint32_t kCdnSequenceStore = 2315;
inline constexpr std::uint32_t kCdnRolledBack = 2316;

// download trust
inline constexpr std::uint32_t kTrustUntrusted = 3101;
inline constexpr std::uint32_t kTrustNotHttps = 3102;

// download
inline constexpr std::uint32_t kDownloadOpen = 3201;
inline constexpr std::uint32_t kDownloadTransport = 3202;
inline constexpr std::uint32_t kDownloadRead = 3203;
inline constexpr std::uint32_t kDownloadWrite = 3204;
inline constexpr std::uint32_t kDownloadSize = 3205;
inline constexpr std::uint32_t kDownloadCancelled = 3206;
inline constexpr std::uint32_t kDownloadFlush = 3207;
inline constexpr std::uint32_t kDownloadRename = 3208;

// online provider
inline constexpr std::uint32_t kOnlineNoDestination = 3301;
inline constexpr std::uint32_t kOnlineUncomputable = 3302;
inline constexpr std::uint32_t kOnlineUnsafeVersion = 3303;
inline constexpr std::uint32_t kOnlineNoHost = 3304;
inline constexpr std::uint32_t kOnlinePreflightUntrusted = 3305;
inline constexpr std::uint32_t kOnlinePreflightOffline = 3306;

// offline providers
inline constexpr std::uint32_t kOfflineUnknownApp = 3401;
inline constexpr std::uint32_t kOfflineNoSegment = 3402;
inline constexpr std::uint32_t kOfflineExtract = 3403;
inline constexpr std::uint32_t kOfflineNotFound = 3404;
inline constexpr std::uint32_t kOfflineStage = 3405;
inline constexpr std::uint32_t kOfflineUncomputable = 3406;
inline constexpr std::uint32_t kOfflineSizeMismatch = 3407;
inline constexpr std::uint32_t kOfflineUnsafeName = 3408;
inline constexpr std::uint32_t kOfflineFrameworkWrite = 3409;
inline constexpr std::uint32_t kOfflineImageNotHeld = 3431;

// install pipeline
inline constexpr std::uint32_t kPipelineGate = 4101;
inline constexpr std::uint32_t kPipelineSelection = 4102;
inline constexpr std::uint32_t kPipelineUndecodablePath = 4111;
inline constexpr std::uint32_t kPipelineMsixUnavailable = 4112;
inline constexpr std::uint32_t kPipelineExeUnavailable = 4113;

// MSI installation
inline constexpr std::uint32_t kMsiLogPath = 4201;
inline constexpr std::uint32_t kMsiStart = 4202;
inline constexpr std::uint32_t kMsiExitCode = 4203;

// MSIX installation
inline constexpr std::uint32_t kMsixInstall = 4301;

// EXE installation
inline constexpr std::uint32_t kExeLogPath = 4401;
inline constexpr std::uint32_t kExeStart = 4402;
inline constexpr std::uint32_t kExeWait = 4403;
inline constexpr std::uint32_t kExeExitCode = 4404;

// framework dependencies
inline constexpr std::uint32_t kFrameworkStaging = 4501;

// package verification
inline constexpr std::uint32_t kVerifyChecksumCommand = 4601;
inline constexpr std::uint32_t kVerifyChecksumMismatch = 4602;
inline constexpr std::uint32_t kVerifySignatureFailed = 4603;
inline constexpr std::uint32_t kVerifySignerMismatch = 4604;
inline constexpr std::uint32_t kVerifyHoldFile = 4605;
inline constexpr std::uint32_t kVerifyUntrustedRuntime = 4631;

// command runner
inline constexpr std::uint32_t kRunnerStart = 4701;
inline constexpr std::uint32_t kRunnerPoll = 4702;
inline constexpr std::uint32_t kRunnerHung = 4703;
inline constexpr std::uint32_t kRunnerOutput = 4704;
inline constexpr std::uint32_t kRunnerExit = 4705;

// staging and disk space
inline constexpr std::uint32_t kStagingStagingCreate = 4801;
inline constexpr std::uint32_t kStagingUnsafeVersion = 4802;
inline constexpr std::uint32_t kStagingDiskSpace = 4803;
inline constexpr std::uint32_t kStagingMachineCreate = 4804;
inline constexpr std::uint32_t kStagingAclStart = 4805;
inline constexpr std::uint32_t kStagingAclExit = 4806;

// installed-app detection
inline constexpr std::uint32_t kDetectionUpgradeCodeKey = 5101;
inline constexpr std::uint32_t kDetectionUninstallEntry = 5102;
inline constexpr std::uint32_t kDetectionUninstallRoot = 5103;

// platform compatibility
inline constexpr std::uint32_t kCompatibilityVersionKey = 5201;
inline constexpr std::uint32_t kCompatibilityBuildMissing = 5202;
inline constexpr std::uint32_t kCompatibilityBuildParse = 5203;

// uninstall
inline constexpr std::uint32_t kUninstallLogPath = 6101;
inline constexpr std::uint32_t kUninstallMsiStart = 6102;
inline constexpr std::uint32_t kUninstallMsiExit = 6103;
inline constexpr std::uint32_t kUninstallNoCommand = 6104;
inline constexpr std::uint32_t kUninstallNoProgram = 6105;
inline constexpr std::uint32_t kUninstallStart = 6106;
inline constexpr std::uint32_t kUninstallStillPresent = 6107;
inline constexpr std::uint32_t kUninstallNoFamily = 6108;
inline constexpr std::uint32_t kUninstallMsixUser = 6109;
inline constexpr std::uint32_t kUninstallMsixAllUsers = 6110;
inline constexpr std::uint32_t kUninstallNulInCommand = 6120;
inline constexpr std::uint32_t kUninstallTimedOut = 6121;
inline constexpr std::uint32_t kUninstallNotConfirmed = 6122;
inline constexpr std::uint32_t kUninstallMsiStillPresent = 6123;
inline constexpr std::uint32_t kUninstallMsixPresence = 6124;
inline constexpr std::uint32_t kUninstallMsixStillPresent = 6125;
inline constexpr std::uint32_t kUninstallMsiexecPath = 6126;
inline constexpr std::uint32_t kUninstallUserEntryElevated = 6131;

// log export
inline constexpr std::uint32_t kExportStagingCreate = 5401;
inline constexpr std::uint32_t kExportStagingPath = 5402;
inline constexpr std::uint32_t kExportNoOutputPath = 5403;
inline constexpr std::uint32_t kExportNoArchive = 5404;

}  // namespace yoxa::place
