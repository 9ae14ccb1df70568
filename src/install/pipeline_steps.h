#pragma once
// The named steps the install pipeline is made of, each with its inputs and outputs in its signature.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/package_provider.h"
#include "core/app_table.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "install/pipeline.h"

namespace yoxa::pipeline {

// --- run preparation ----------------------------------------------------------------------

inline constexpr std::uint32_t kMinimumX64Build = 17763;
inline constexpr std::uint32_t kMinimumArm64Build = 22000;

// Fails with the requirements message and the unmet requirement as detail; query errors pass unchanged.
Result<void> compatibility_gate(const InstallHost& host);

// The table rows whose ids were selected, in table order; unknown ids are ignored.
Result<std::vector<const AppDescriptor*>> select_apps(std::span<const AppDescriptor> table,
                                                      const std::vector<std::string>& ids);

// Only when the selection needs any space at all.
Result<void> check_disk_space(const InstallHost& host, const std::string& staging_base,
                              std::span<const AppDescriptor* const> selected, bool machine);

// Machine scope restricts the staging directory; a user's own profile needs nothing.
Result<void> prepare_staging_directory(const InstallHost& host, const std::string& staging_base, bool machine);

// --- per app ------------------------------------------------------------------------------

inline constexpr std::uint32_t kCheckpointBeforeChecks = 160;
inline constexpr std::uint32_t kCheckpointAfterAcquisition = 243;

// True when the quit file has gone and the run must stop here.
bool abort_requested(const RunContext& run, std::uint32_t checkpoint);

// The version the machine has now; none when not installed (or only a placeholder "0"/"1" is registered).
std::optional<std::string> detect_installed_version(const InstalledApps& installed, const AppDescriptor& app);

// Compares the installed version with a candidate from `source` ("bundled" or "server") and logs
// the verdict. True when nothing newer is on offer; an unreadable version never skips.
bool up_to_date(const AppDescriptor& app, const std::string& installed, const std::string& candidate,
                std::string_view source);

// The version in a staged name "installer-v{version}.{format}"; none for "offline" or any other name.
std::optional<std::string> server_version_of(std::string_view staged_path, std::string_view format);

// The provider's dependencies, or none with a warning: the install goes on without them.
PreparedDependencies prepare_dependencies(const PackageProvider& provider, const AppDescriptor& app,
                                          const std::string& staging_base, const EventSink& sink,
                                          const CancelToken& cancel);

// Whether the file starts with the compound-document signature every MSI package has.
bool has_msi_signature(const std::string& path);

// Hands the staged package to the installer for the app's kind.
InstallerOutcome run_installer(const Installers& installers, const RunContext& run, const InstallRequest& request);

inline constexpr int kMachineWideChecks = 6;
inline constexpr std::chrono::milliseconds kMachineWidePause{500};

// Registration can lag behind the installer's exit, so a few looks are allowed.
bool registered_machine_wide(const RunContext& run, const AppDescriptor& app);

}  // namespace yoxa::pipeline
