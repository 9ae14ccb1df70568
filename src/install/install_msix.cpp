#include "install/install_msix.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/log.h"
#include "core/places.h"
#include "core/text.h"
#include "install/msix_failure.h"
#include "system/detection.h"
#include "system/framework_detection.h"
#include "system/sideloading_policy.h"

namespace yoxa {

namespace {

constexpr std::string_view kPackagesInUse = "0x80073D02";

std::string hex8(std::uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", code);
  return text;
}

void install_certificate_chain(const std::string& package_path, const MsixHost& host) {
  log::info("Installing MSIX signing certificate chain to trusted root store");
  auto installed = host.powershell(certificate_chain_script(package_path), kCertificateChainLimitSeconds);
  if (installed) {
    log::info("MSIX signing certificate installed successfully");
  } else {
    log::warn(format("Could not install signing certificate; installation may fail on untrusted systems: {}",
                     installed.error().full_text()));
  }
}

// Policy and certificate need administrator rights: a per-user install without them goes on without.
void prepare_machine(const std::string& package_path, bool machine, const MsixHost& host) {
  if (!machine && !host.elevated()) {
    log::info(
        "Unelevated user-scope MSIX install: skipping the HKLM sideloading policy write and the LocalMachine root-CA "
        "install (both require admin rights)");
    return;
  }
  ensure_sideloading_policy(host.registry());
  // Trusting the root of an unverified package would trust anything that root ever signs.
  if (!host.package_verified(package_path)) {
    log::info(format("Skipping the MSIX signing certificate step: {} did not pass the suite's signature check in "
                     "this run, so its chain is not added to the trusted root store",
                     package_path));
    return;
  }
  install_certificate_chain(package_path, host);
}

// No outcome of a runtime installer stops the install: Add-AppxPackage reports what is still missing.
// An elevated process runs only what Windows trusts: these installers come from the platform's vendor.
bool trusted_for_privileged_start(const ChainedInstaller& installer, const MsixHost& host) {
  auto signer = host.trusted_signer(installer.path);
  if (!signer) {
    log::warn(format("Refusing chained runtime installer {}: an elevated process starts only a trusted signed "
                     "runtime installer ({}); continuing",
                     installer.path, signer.error().full_text()));
    return false;
  }
  log::info(format("Chained runtime installer {} is signed by '{}'", installer.path, *signer));
  return true;
}

void run_chained_installers(const std::vector<ChainedInstaller>& installers, const MsixHost& host) {
  const bool privileged = !installers.empty() && host.privileged();
  for (const ChainedInstaller& installer : installers) {
    if (!is_valid_utf8(installer.path)) {
      log::warn(format("Skipping chained runtime installer with undecodable path: {}", printable(installer.path)));
      continue;
    }
    if (privileged && !trusted_for_privileged_start(installer, host)) continue;
    log::info(format("Running chained runtime installer: {} {}", installer.path, installer.arguments));
    const auto ended = host.run_program(installer.path, split_white_space(installer.arguments));
    if (!ended) {
      log::warn(format("Could not run chained runtime installer {}: {}; continuing", installer.path, ended.error().text));
    } else if (*ended == 0) {
      log::info(format("Chained runtime installer completed: {}", installer.path));
    } else {
      log::warn(format("Chained runtime installer {} exited with {} (0x{}); continuing \u2014 Add-AppxPackage will "
                       "report 0x80073CF3 if the runtime is still missing",
                       installer.path, static_cast<std::int32_t>(*ended), hex8(*ended)));
    }
  }
}

// Re-servicing a framework that is in use fails the install, so only the ones Windows lacks are passed.
std::vector<const FrameworkPackage*> select_frameworks(const std::vector<FrameworkPackage>& frameworks, bool machine,
                                                       const MsixHost& host) {
  std::vector<const FrameworkPackage*> passed;
  if (frameworks.empty()) return passed;
  std::vector<FrameworkRequest> requests;
  for (const FrameworkPackage& framework : frameworks) requests.push_back({framework.package_name, framework.min_version});
  auto detection = detect_frameworks(requests, machine, host.powershell);
  if (!detection) {
    log::warn(format("Framework detection failed ({}); passing all {} staged framework package(s) to Windows so a "
                     "genuinely missing one still installs",
                     detection.error().full_text(), frameworks.size()));
    for (const FrameworkPackage& framework : frameworks) passed.push_back(&framework);
    return passed;
  }
  const auto installed = [&](const std::string& name, const char* otherwise) {
    const auto found = detection->installed.find(name);
    return found == detection->installed.end() ? std::string(otherwise) : found->second;
  };
  for (const FrameworkPackage& framework : frameworks) {
    const std::string required = framework.min_version.empty() ? "(any)" : framework.min_version;
    const bool needed = std::ranges::find(detection->needed, framework.package_name) != detection->needed.end();
    if (needed) {
      log::info(format("{}: required >= {}, installed {} \u2014 passing the staged package to Windows",
                       framework.package_name, required, installed(framework.package_name, "(none)")));
      passed.push_back(&framework);
    } else {
      log::info(format("{}: already installed at {} (>= required {}); NOT passing it to Windows \u2014 re-servicing a "
                       "framework in use fails the install with 0x80073D02",
                       framework.package_name, installed(framework.package_name, "(unknown)"), required));
    }
  }
  return passed;
}

std::string dependency_list(const std::vector<const FrameworkPackage*>& passed) {
  std::vector<std::string> quoted;
  for (const FrameworkPackage* framework : passed) {
    if (is_valid_utf8(framework->path)) quoted.push_back("'" + powershell_quote(framework->path) + "'");
  }
  return join(quoted, ",");
}

std::string install_command(const std::string& package_path, bool machine, const std::string& dependencies) {
  const std::string path = powershell_quote(package_path);
  std::string command = machine ? "Dism\\Add-AppxProvisionedPackage -Online -PackagePath '" + path + "' -SkipLicense"
                                : "Appx\\Add-AppxPackage -Path '" + path + "'";
  if (!dependencies.empty()) command += (machine ? " -DependencyPackagePath " : " -DependencyPath ") + dependencies;
  return command;
}

}  // namespace

std::string certificate_chain_script(std::string_view package_path) {
  return "\n$cert = (Get-AuthenticodeSignature -LiteralPath '" + powershell_quote(package_path) +
         "').SignerCertificate\n"
         "if ($null -ne $cert) {\n"
         "    $chain = [System.Security.Cryptography.X509Certificates.X509Chain]::new()\n"
         "    $chain.ChainPolicy.RevocationMode = 'NoCheck'\n"
         "    [void]$chain.Build($cert)\n"
         "    $rootCert = ($chain.ChainElements | Select-Object -Last 1).Certificate\n"
         "    $store = [System.Security.Cryptography.X509Certificates.X509Store]::new('Root', 'LocalMachine')\n"
         "    $store.Open('ReadWrite')\n"
         "    $store.Add($rootCert)\n"
         "    $store.Close()\n"
         "}\n";
}

InstallerOutcome install_msix(const EventSink& sink, std::string_view app_id, const std::string& package_path,
                              bool machine, const PreparedDependencies& dependencies, const MsixHost& host) {
  prepare_machine(package_path, machine, host);
  run_chained_installers(dependencies.chained_installers, host);
  const std::vector<const FrameworkPackage*> passed = select_frameworks(dependencies.frameworks, machine, host);
  const std::string with = dependency_list(passed);
  if (!with.empty()) log::info(format("Installing MSIX with {} framework dependency package(s)", passed.size()));

  sink.progress(app_id, 90, "INSTALLING");
  log::info(format("Executing MSIX install (scope={}) for: {}", machine, package_path));
  auto installed = host.powershell(install_command(package_path, machine, with), kMsixInstallLimitSeconds);
  if (installed) {
    log::info("MSIX installation completed successfully");
    return InstallerStatus::Succeeded;
  }
  const std::string text = installed.error().full_text();

  // Windows names the app when a supplied framework is in use, but the framework is the usual blocker.
  if (!with.empty() && text.find(kPackagesInUse) != std::string::npos) {
    log::warn(format("MSIX install hit 0x80073D02 (ERROR_PACKAGES_IN_USE) with {} framework package(s) supplied; "
                     "retrying once without them \u2014 the app itself is rarely the blocker",
                     passed.size()));
    auto retried = host.powershell(install_command(package_path, machine, ""), kMsixInstallLimitSeconds);
    if (retried) {
      log::info("Retry without framework dependencies succeeded");
      return InstallerStatus::Succeeded;
    }
    log::error(format("Retry without framework dependencies also failed: {}", retried.error().full_text()));
  }

  log::error(format("MSIX installation failed: {}", text));
  if (auto name = missing_framework_name(text)) log::error(format("Missing framework dependency: {}", *name));
  return fail(msix_failure_message(text), text, place::kMsixInstall);
}

InstallerOutcome install_msix(const RunContext& run, const InstallRequest& request) {
  return install_msix(run.sink, request.app.id, request.package_path, request.machine, request.dependencies,
                      MsixHost{});
}

}  // namespace yoxa
