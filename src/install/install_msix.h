#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "acquisition/package_provider.h"
#include "core/event_sink.h"
#include "install/install_msi.h"
#include "install/installer.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "system/command_runner.h"

namespace yoxa {

inline constexpr std::uint32_t kMsixInstallLimitSeconds = 300;
inline constexpr std::uint32_t kCertificateChainLimitSeconds = 30;

// The machine as the MSIX installer sees it. Production defaults; tests replace any member.
struct MsixHost {
  // Framework detection, the certificate chain and the install commands.
  ScriptRunner powershell = run_powershell;
  // Chained runtime installers, started hidden and waited for without a time limit.
  ProgramRunner run_program = run_and_wait;
  std::function<platform::Registry&()> registry = []() -> platform::Registry& { return platform::system_registry(); };
  std::function<bool()> elevated = [] { return platform::is_elevated(); };
  // Whether the package passed the suite's signature check in this process: only then may
  // its signing chain become a machine-wide trusted root.
  std::function<bool(const std::string& package_path)> package_verified = passed_package_verification;
  // An elevated or LocalSystem process starts a chained runtime installer only once
  // Windows trusts its signer.
  std::function<bool()> privileged = [] { return platform::is_elevated() || platform::is_local_system(); };
  std::function<Result<std::string>(const std::string& path)> trusted_signer = [](const std::string& path) {
    return verify_trusted_signer(path);
  };
};

// Adds the last certificate of the package signer's chain to the machine's trusted roots.
std::string certificate_chain_script(std::string_view package_path);

// Installs one verified MSIX or MSIXBUNDLE package with Add-AppxPackage for the current user,
// or provisions it for all users. Prepares the machine when it has the rights to, runs the
// chained runtime installers, and passes only the staged frameworks Windows still needs.
// Blocks until every child process has ended; only the install command itself can fail it.
InstallerOutcome install_msix(const EventSink& sink, std::string_view app_id, const std::string& package_path,
                              bool machine, const PreparedDependencies& dependencies, const MsixHost& host);
InstallerOutcome install_msix(const RunContext& run, const InstallRequest& request);

}  // namespace yoxa
