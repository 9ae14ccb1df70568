// One install run of several apps through the real online provider and downloader against
// a CDN, with installers that only take time, for the multi-app benchmark:
//   multi_app_probe CONFIG STAGING INSTALL_MS APP... [--sequential]
// CONFIG is an installer configuration file (its CDN and trusted domains are used),
// STAGING the staging base, INSTALL_MS how long each installer takes. --sequential turns
// the download-ahead off. Prints {"seconds": wall time, "results": ["quill installed", ...]}.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/cdn.h"
#include "acquisition/online_provider.h"
#include "core/protocol_event.h"
#include "install/pipeline.h"
#include "platform/http.h"
#include "platform/system.h"
#include "system/logger.h"

namespace {

using namespace yoxa;

// Nothing installed; the machine-only app registers machine-wide once installed.
class NothingInstalled final : public InstalledApps {
 public:
  bool installed_machine_wide(const AppDescriptor& app) const override { return app.machine_only; }
  std::optional<std::string> msix_installed_version(std::string_view) const override { return std::nullopt; }
  Result<std::optional<InstalledProduct>> find_by_upgrade_code(std::string_view) const override {
    return std::nullopt;
  }
  std::optional<InstalledProduct> find_by_product_name(std::string_view) const override { return std::nullopt; }
  std::optional<std::string> installed_path(const AppDescriptor&) const override { return std::nullopt; }
  std::optional<std::string> installed_version(const AppDescriptor&) const override { return std::nullopt; }
};

// The same provider with the download-ahead turned off: the run before it existed.
class Sequential final : public PackageProvider {
 public:
  explicit Sequential(const PackageProvider& inner) : inner_(inner) {}
  std::span<const AppDescriptor> app_list() const override { return inner_.app_list(); }
  FetchOutcome fetch(const AppDescriptor& row, const std::string& base, const EventSink& sink,
                     const CancelToken& cancel) const override {
    return inner_.fetch(row, base, sink, cancel);
  }
  Result<PreparedDependencies> prepare_dependencies(const AppDescriptor& row, const std::string& dir,
                                                    const EventSink& sink, const CancelToken& cancel) const override {
    return inner_.prepare_dependencies(row, dir, sink, cancel);
  }
  std::optional<std::string> bundled_version(std::string_view id) const override { return inner_.bundled_version(id); }
  std::optional<std::uint64_t> bundled_size(std::string_view id) const override { return inner_.bundled_size(id); }
  Result<void> preflight() const override { return inner_.preflight(); }

 private:
  const PackageProvider& inner_;
};

std::string read_text(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: multi_app_probe CONFIG STAGING INSTALL_MS APP... [--sequential]\n");
    return 64;
  }
  const InstallerConfig config = parse_installer_config(read_text(argv[1]));
  const std::string staging = argv[2];
  const auto install_time = std::chrono::milliseconds(std::strtol(argv[3], nullptr, 10));
  RunSettings settings;
  settings.staging_base = staging;
  settings.log_dir = staging + "/logs";
  bool sequential = false;
  for (int i = 4; i < argc; ++i) {
    if (std::string(argv[i]) == "--sequential") {
      sequential = true;
    } else {
      settings.app_ids.emplace_back(argv[i]);
    }
  }

  (void)init_logger(settings.log_dir);
  PackageHost host;
  host.fetch_metadata = [&config](std::string_view id) {
    return fetch_package_meta(platform::system_http_client(), config, id);
  };
  host.trusted_suffixes = [&config] { return config.trusted_download_domains; };
  host.note_not_found = [] {};
  // The bench packages are unsigned; the downloader's size check stands for verification.
  host.verify_package = [](const std::string& path, const std::string&) -> Result<void> {
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error)) return {};
    return fail("Installer verification failed.", "missing", 1);
  };
  const OnlinePackageProvider online(host);
  const Sequential plain(online);

  InstallHost machine;
  machine.windows_build = [] { return Result<std::uint32_t>(22631u); };
  machine.processor_architecture = [] { return ProcessorArch::X64; };
  machine.check_disk_space = [](const std::string&, std::span<const AppDescriptor* const>, bool) -> Result<void> {
    return {};
  };
  machine.prepare_machine_staging_directory = [](const std::string&) -> Result<void> { return {}; };
  machine.stop_running_app = [](std::string_view) {};
  const auto installing = [install_time](const RunContext&, const InstallRequest&) -> InstallerOutcome {
    std::this_thread::sleep_for(install_time);
    return InstallerStatus::Succeeded;
  };
  machine.installers = Installers{.msi = installing, .msix = installing, .exe = installing};

  const NothingInstalled installed;
  RunContext run{.settings = settings, .sink = discarding_event_sink(), .cancel = CancelToken(), .pause = real_pause,
                 .installed = &installed};
  const auto start = std::chrono::steady_clock::now();
  const auto outcome = run_install(sequential ? static_cast<const PackageProvider&>(plain) : online, run, machine);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!outcome) {
    std::printf("{\"error\": \"%s\"}\n", outcome.error().full_text().c_str());
    finish_logging();
    return 1;
  }
  std::string results;
  for (const auto& result : outcome->results) {
    const Json object = app_result_object(result);
    results += (results.empty() ? "\"" : ", \"") + result.app + " " + object["status"].get<std::string>() + "\"";
  }
  std::printf("{\"seconds\": %.3f, \"results\": [%s]}\n", seconds, results.c_str());
  finish_logging();
  return 0;
}
