#include "install/pipeline.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "acquisition/verified_files.h"
#include "core/messages.h"
#include "core/places.h"
#include "core/text.h"
#include "install/install_exe.h"
#include "install/install_msi.h"
#include "install/install_msix.h"
#include "install/pipeline_steps.h"
#include "core/log.h"

namespace yoxa {

namespace {

std::atomic<bool> g_reboot_required{false};


// How the per-app loop goes on after an app.
enum class AppFlow : std::uint8_t { Next, NotAvailable, Stop };

// One run's fixed inputs and the results it has reported so far.
class InstallRun {
 public:
  InstallRun(const PackageProvider& provider, const RunContext& run, const InstallHost& host)
      : provider_(provider), run_(run), sink_(run.sink), settings_(run.settings), host_(host) {}

  InstallOutcome run(const std::vector<const AppDescriptor*>& selected);

 private:
  AppFlow process(const AppDescriptor& app, std::size_t index, std::size_t total);
  AppFlow install(const AppDescriptor& app, const std::string& staged, bool machine, bool is_update,
                  std::size_t index, std::size_t total);
  // The next app's package downloads while this one installs.
  void start_download_ahead(std::size_t next_index);
  void report(AppResult result);
  void report_located(const AppDescriptor& app, AppStatus status);
  void report_failed(const AppDescriptor& app, const Error& error);

  const PackageProvider& provider_;
  const RunContext& run_;
  const EventSink& sink_;
  const RunSettings& settings_;
  const InstallHost& host_;
  std::vector<AppResult> results_;
  const std::vector<const AppDescriptor*>* selected_ = nullptr;
  std::unique_ptr<PackageDownloadAhead> ahead_;
};

InstallOutcome InstallRun::run(const std::vector<const AppDescriptor*>& selected) {
  const std::size_t total = selected.size();
  std::size_t not_available = 0;
  std::optional<std::size_t> stopped_at;
  selected_ = &selected;
  for (std::size_t index = 0; index < total && !stopped_at; ++index) {
    // Ending the download-ahead leaves this app's package for its fetch to take over.
    ahead_.reset();
    switch (process(*selected[index], index, total)) {
      case AppFlow::Next: break;
      case AppFlow::NotAvailable: ++not_available; break;
      case AppFlow::Stop: stopped_at = index; break;
    }
  }

  ahead_.reset();

  InstallOutcome outcome;
  if (stopped_at) {
    for (std::size_t index = *stopped_at; index < total; ++index) {
      report(AppResult::plain(std::string(selected[index]->id), AppStatus::Cancelled));
    }
    outcome.aborted = true;
  }
  const bool any_installed = std::any_of(results_.begin(), results_.end(), [](const AppResult& result) {
    return result.status == AppStatus::Installed || result.status == AppStatus::Updated;
  });
  if (!any_installed && not_available > 0 && !stopped_at) {
    const std::string warning = format(
        "{} of {} selected app(s) are not available for online installation yet — the server returned no download "
        "metadata. Nothing was installed. If this is unexpected, verify the build's server target (idc/local) and "
        "that the endpoints publish these apps.",
        not_available, total);
    // Also in the engine log: a silent run discards its events.
    log::warn(warning);
    sink_.log("warn", warning);
  }
  outcome.results = std::move(results_);
  return outcome;
}

AppFlow InstallRun::process(const AppDescriptor& app, std::size_t index, std::size_t total) {
  sink_.progress(app.id, 0, true, "CHECKING", std::nullopt);
  if (pipeline::abort_requested(run_, pipeline::kCheckpointBeforeChecks)) return AppFlow::Stop;

  const bool machine = settings_.machine || app.machine_only;
  const bool msix = app.installer_kind == InstallerKind::Msix;
  if (!machine && !msix && run_.installed->installed_machine_wide(app)) {
    log::info(format("{}: already installed machine-wide; skipping (user scope leaves it intact)", app.display_name));
    report_located(app, AppStatus::Skipped);
    return AppFlow::Next;
  }

  const std::optional<std::string> installed = pipeline::detect_installed_version(*run_.installed, app);
  if (installed) {
    const auto packaged = provider_.bundled_version(app.id);
    if (packaged && pipeline::up_to_date(app, *installed, *packaged, "bundled")) {
      report_located(app, AppStatus::Skipped);
      return AppFlow::Next;
    }
  }

  sink_.stage(app.id, InstallStage::Download, index, total);
  auto fetched = provider_.fetch(app, settings_.staging_base, sink_, run_.cancel);
  if (!fetched) {
    if (fetched.error().message() == msg::kNotAvailableOnline) {
      log::info(format("{}: not available for online installation, skipping", app.display_name));
      report_located(app, AppStatus::Skipped);
      return AppFlow::NotAvailable;
    }
    log::error(format("{} acquisition failed: {}", app.display_name, fetched.error().full_text()));
    report_failed(app, fetched.error());
    return AppFlow::Next;
  }
  if (!*fetched) return AppFlow::Stop;
  const std::string staged = std::move(**fetched);
  if (pipeline::abort_requested(run_, pipeline::kCheckpointAfterAcquisition)) {
    return AppFlow::Stop;
  }

  if (installed) {
    const auto server = pipeline::server_version_of(staged, app.format);
    // The staged package stays: the next run may use it.
    if (server && pipeline::up_to_date(app, *installed, *server, "server")) {
      report_located(app, AppStatus::Skipped);
      return AppFlow::Next;
    }
  }
  return install(app, staged, machine, installed.has_value(), index, total);
}

AppFlow InstallRun::install(const AppDescriptor& app, const std::string& staged, bool machine, bool is_update,
                            std::size_t index, std::size_t total) {
  // The package and its dependency files stay held from their verification until the
  // installer has exited, on every way out of here.
  struct ReleaseHolds {
    ~ReleaseHolds() { verified_file_holds().release_all(); }
  } const release_holds;
  const PreparedDependencies dependencies =
      pipeline::prepare_dependencies(provider_, app, settings_.staging_base, sink_, run_.cancel);
  start_download_ahead(index + 1);
  host_.stop_running_app(app.process_name);
  sink_.stage(app.id, InstallStage::Install, index, total);
  sink_.progress(app.id, 80, "INSTALLING");

  // A path that is not text cannot be handed to an installer, nor safely to the clean-up.
  const bool decodable = is_valid_utf8(staged);
  InstallerOutcome outcome =
      decodable ? pipeline::run_installer(host_.installers, run_, InstallRequest{app, staged, machine, dependencies})
                : std::unexpected(Error::same(format("Could not decode path: {}", printable(staged)), place::kPipelineUndecodablePath));

  if (outcome && *outcome == InstallerStatus::Cancelled) return AppFlow::Stop;
  if (!outcome) {
    log::error(format("{} install failed: {}", app.display_name, outcome.error().full_text()));
    report_failed(app, outcome.error());
  } else if (machine && !pipeline::registered_machine_wide(run_, app)) {
    log::error(format(
        "{} reported a successful machine-scope install but is not registered machine-wide; the package likely "
        "ignored ALLUSERS=1 and installed per-user (see docs/published/WINDOWS_ARCHITECTURE.md, Install Scope)",
        app.display_name));
    report(AppResult::failed(std::string(app.id), wire_string(ErrorKind::InstallFailed)));
  } else {
    log::info(format("{} installed successfully", app.display_name));
    report_located(app, is_update ? AppStatus::Updated : AppStatus::Installed);
  }
  verified_file_holds().release_all();  // the clean-up may delete what was held
  if (decodable) host_.clean_up_old_installer_files(staged);
  return AppFlow::Next;
}

void InstallRun::start_download_ahead(std::size_t next_index) {
  if (next_index >= selected_->size()) return;
  ahead_ = provider_.download_ahead(*(*selected_)[next_index], settings_.staging_base, run_.cancel);
}

void InstallRun::report(AppResult result) {
  sink_.app_result(result);
  results_.push_back(std::move(result));
}

void InstallRun::report_located(const AppDescriptor& app, AppStatus status) {
  AppResult result = AppResult::plain(std::string(app.id), status);
  result.installed_path = run_.installed->installed_path(app);
  result.installed_version = run_.installed->installed_version(app);
  report(std::move(result));
}

void InstallRun::report_failed(const AppDescriptor& app, const Error& error) {
  report(AppResult::failed(std::string(app.id), wire_string(code_for_error(error))));
}

}  // namespace

const Installer& Installers::for_kind(InstallerKind kind) const {
  switch (kind) {
    case InstallerKind::Msi: return msi;
    case InstallerKind::Msix: return msix;
    case InstallerKind::Exe: return exe;
  }
  return exe;
}

Installers system_installers() {
  return Installers{
      .msi = [](const RunContext& run, const InstallRequest& request) { return install_msi(run, request); },
      .msix = [](const RunContext& run, const InstallRequest& request) { return install_msix(run, request); },
      .exe = [](const RunContext& run, const InstallRequest& request) {
        return install_exe(run.sink, request.app.id, run.settings.log_dir, request.package_path, request.machine);
      },
  };
}

Result<InstallOutcome> run_install(const PackageProvider& provider, const RunContext& run, const InstallHost& host) {
  const RunSettings& settings = run.settings;
  clear_reboot_required();
  if (auto ready = provider.preflight(); !ready) return std::unexpected(ready.error());
  if (auto compatible = pipeline::compatibility_gate(host); !compatible) return std::unexpected(compatible.error());
  auto selected = pipeline::select_apps(provider.app_list(), settings.app_ids);
  if (!selected) return std::unexpected(selected.error());
  if (auto space = pipeline::check_disk_space(host, settings.staging_base, *selected, settings.machine); !space) {
    return std::unexpected(space.error());
  }
  if (auto staging = pipeline::prepare_staging_directory(host, settings.staging_base, settings.machine || settings.privileged); !staging) {
    return std::unexpected(staging.error());
  }
  return InstallRun(provider, run, host).run(*selected);
}

Result<InstallOutcome> run_install(const PackageProvider& provider, const RunContext& run) {
  return run_install(provider, run, InstallHost{});
}

bool reboot_required() { return g_reboot_required.load(); }
void note_reboot_required() { (void)g_reboot_required.exchange(true); }
void clear_reboot_required() { (void)g_reboot_required.exchange(false); }

}  // namespace yoxa
