#include "install/pipeline_steps.h"

#include <algorithm>
#include <array>
#include <fstream>

#include "core/messages.h"
#include "core/places.h"
#include "core/paths.h"
#include "core/text.h"
#include "install/staging.h"
#include "core/log.h"

namespace yoxa::pipeline {

namespace {

// As detection defines it: by package format, whatever installer the row declares.
bool is_msix(const AppDescriptor& app) { return app.format == "msix" || app.format == "msixbundle"; }
}  // namespace

// --- run preparation ----------------------------------------------------------------------

Result<void> compatibility_gate(const InstallHost& host) {
  const auto build = host.windows_build();
  if (!build) return std::unexpected(build.error());
  const ProcessorArch arch = host.processor_architecture();

  std::string unmet;
  if (arch == ProcessorArch::X64) {
    if (*build < kMinimumX64Build) unmet = format("Windows 10 version 1809 (build {}) or newer required", kMinimumX64Build);
  } else if (arch == ProcessorArch::Arm64) {
    if (*build < kMinimumArm64Build) {
      unmet = format("Windows 11 (build {}) or newer required on ARM64 devices", kMinimumArm64Build);
    }
  } else {
    unmet = "This app is only supported on 64-bit Windows 10 or newer";
  }
  if (!unmet.empty()) return fail(msg::kSystemRequirementsNotMet, unmet, place::kPipelineGate);
  log::info("System compatibility check passed");
  return {};
}

Result<std::vector<const AppDescriptor*>> select_apps(std::span<const AppDescriptor> table,
                                                      const std::vector<std::string>& ids) {
  std::vector<const AppDescriptor*> selected;
  for (const AppDescriptor& row : table) {
    if (std::find(ids.begin(), ids.end(), row.id) != ids.end()) selected.push_back(&row);
  }
  if (selected.empty()) return std::unexpected(Error::same(msg::kNoCompatibleApps, place::kPipelineSelection));
  return selected;
}

Result<void> check_disk_space(const InstallHost& host, const std::string& staging_base,
                              std::span<const AppDescriptor* const> selected, bool machine) {
  // "Any app needs space" rather than a sum, which could wrap to zero.
  const bool needs_space =
      std::any_of(selected.begin(), selected.end(), [](const AppDescriptor* app) { return app->required_bytes > 0; });
  if (!needs_space) return {};
  return host.check_disk_space(staging_base, selected, machine);
}

Result<void> prepare_staging_directory(const InstallHost& host, const std::string& staging_base, bool machine) {
  if (machine) return host.prepare_machine_staging_directory(staging_base);
  log::info("User-scope install: staging under the user's own profile, no machine ACL restriction needed");
  return {};
}

// --- per app ------------------------------------------------------------------------------

bool abort_requested(const RunContext& run, std::uint32_t checkpoint) {
  if (!run.cancel.cancelled()) return false;
  log::info(format("Abort detected @ {}", checkpoint));
  return true;
}

std::optional<std::string> detect_installed_version(const InstalledApps& installed, const AppDescriptor& app) {
  std::optional<std::string> version;
  if (is_msix(app)) {
    version = installed.msix_installed_version(app.family_name);
    if (version) log::info(format("{}: MSIX installed version {}", app.display_name, *version));
  } else {
    std::optional<InstalledProduct> product;
    bool lookup_failed = false;
    if (!app.upgrade_code.empty()) {
      auto found = installed.find_by_upgrade_code(app.upgrade_code);
      if (found) {
        product = std::move(*found);
      } else {
        // A registry we cannot read is no evidence of another product: treat it as nothing installed.
        lookup_failed = true;
      }
    }
    if (!product && !lookup_failed) product = installed.find_by_product_name(app.product_name);
    if (product) {
      log::info(format("{}: installed ({}, {})", app.display_name, product->key, product->version));
      version = product->version;
    }
  }
  // Some packages leave a placeholder version behind when they are removed.
  if (version && (*version == "0" || *version == "1")) return std::nullopt;
  return version;
}

bool up_to_date(const AppDescriptor& app, const std::string& installed, const std::string& candidate,
                std::string_view source) {
  const auto order = compare_versions(installed, candidate);
  if (!order) {
    log::warn(format("{}: version compare failed ({}); proceeding with install", app.display_name, order.error()));
    return false;
  }
  if (*order != VersionOrder::Less) {
    log::info(format("{}: v{} installed, {} v{} — already up to date, skipping", app.display_name, installed, source,
                     candidate));
    return true;
  }
  log::info(format("{}: v{} installed, {} v{} — upgrading", app.display_name, installed, source, candidate));
  return false;
}

std::optional<std::string> server_version_of(std::string_view staged_path, std::string_view format_name) {
  // Split by hand: the path has not been checked for valid text yet, so it must not become a filesystem path.
  const auto separator = staged_path.find_last_of("/\\");
  std::string_view name = separator == std::string_view::npos ? staged_path : staged_path.substr(separator + 1);
  constexpr std::string_view kPrefix = "installer-v";
  const std::string suffix = "." + std::string(format_name);
  if (!name.starts_with(kPrefix) || !name.ends_with(suffix) || name.size() < kPrefix.size() + suffix.size()) {
    return std::nullopt;
  }
  const std::string_view version = name.substr(kPrefix.size(), name.size() - kPrefix.size() - suffix.size());
  if (version.empty() || version == "offline") return std::nullopt;
  return std::string(version);
}

PreparedDependencies prepare_dependencies(const PackageProvider& provider, const AppDescriptor& app,
                                          const std::string& staging_base, const EventSink& sink,
                                          const CancelToken& cancel) {
  auto prepared = provider.prepare_dependencies(app, staging_directory(staging_base), sink, cancel);
  if (prepared) return std::move(*prepared);
  log::warn(format("{}: could not prepare framework dependencies ({}); proceeding without them", app.display_name,
                   prepared.error().full_text()));
  return {};
}

bool has_msi_signature(const std::string& path) {
  static constexpr std::array<unsigned char, 4> kSignature = {0xD0, 0xCF, 0x11, 0xE0};
  std::ifstream file(path_from_utf8(path), std::ios::binary);
  std::array<char, 4> head{};
  if (!file.read(head.data(), head.size())) return false;
  return std::equal(head.begin(), head.end(), kSignature.begin(),
                    [](char byte, unsigned char expected) { return static_cast<unsigned char>(byte) == expected; });
}

InstallerOutcome run_installer(const Installers& installers, const RunContext& run, const InstallRequest& request) {
  if (request.app.installer_kind == InstallerKind::Exe && has_msi_signature(request.package_path)) {
    log::info("Detected MSI format despite Exe declaration, running via msiexec");
    return installers.msi(run, request);
  }
  return installers.for_kind(request.app.installer_kind)(run, request);
}

bool registered_machine_wide(const RunContext& run, const AppDescriptor& app) {
  for (int attempt = 1; attempt <= kMachineWideChecks; ++attempt) {
    if (run.installed->installed_machine_wide(app)) return true;
    if (attempt < kMachineWideChecks) run.pause(kMachineWidePause);
  }
  return false;
}

}  // namespace yoxa::pipeline
