#include "front_end/run_command.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <system_error>
#include <vector>

#include "config/expiry.h"
#include "config/installer_config.h"
#include "core/error.h"
#include "core/paths.h"
#include "core/protocol_event.h"
#include "core/text.h"
#include "front_end/catalog.h"
#include "front_end/emit.h"
#include "front_end/event_pipe.h"
#include "front_end/relay.h"
#include "front_end/run_outcome.h"
#include "front_end/run_request.h"
#include "front_end/stdin_commands.h"
#include "platform/ipc.h"
#include "platform/security.h"
#include "platform/system.h"
#include "system/elevation.h"
#include "system/installed_apps.h"
#include "system/own_file.h"
#include "uninstall/uninstall_precheck.h"
#include "core/base64.h"
#include "core/log.h"

namespace yoxa {

namespace {
constexpr const char* kRunMutexName = "YoxaOfficeInstallerEngineRun";
constexpr int kStartFailure = 2;
constexpr int kDeclined = 4;
constexpr std::uint32_t kHighestWorkerCode = 5;

std::string quit_file_path(std::uint32_t pid) {
  return path_to_utf8(path_from_utf8(platform::temp_directory()) / format("YoxaOfficeEngineRun-{}.lock", pid));
}

std::string event_pipe_name(std::uint32_t pid) { return format("\\\\.\\pipe\\Yoxa\\YoxaOffice\\EngineRun-{}", pid); }

std::expected<void, std::string> create_quit_file(const std::string& path) {
  if (const std::error_code error = write_own_file(path, {})) return std::unexpected(platform::error_code_text(error));
  return {};
}

void remove_quit_file(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(path_from_utf8(path), ignored);
}

int refuse_retired(const RunRequest& request, const Retirement& retirement) {
  emit_log("error", format("This installer expired on {}. Download a current installer from {}.",
                           retirement.expires_on.value_or("an earlier date"), retirement.download_url));
  std::vector<AppResult> results;
  for (const AppDescriptor* app : request.apps) {
    AppResult result = AppResult::failed(std::string(app->id), wire_string(ErrorKind::NotCompatible));
    emit(app_result_object(result));
    results.push_back(std::move(result));
  }
  return finish_run(wire_string(request.action), request.strict, 2, selected_ids(request.apps), results);
}

struct UninstallPrecheck {
  std::vector<std::string> per_user;  // found installed for this user, in table order
  bool needs_admin = false;
};

// Where each selected app is installed: the worker is told which ones this user owns, and a
// machine-wide one makes the run ask for elevation.
UninstallPrecheck uninstall_precheck_of(const RunRequest& request) {
  const InstalledApps& installed = machine_installed_apps();
  std::vector<std::pair<const AppDescriptor*, PrecheckAnswer>> answers;
  for (const AppDescriptor& app : app_table()) {
    if (std::ranges::any_of(request.apps, [&app](const AppDescriptor* chosen) { return chosen->id == app.id; })) {
      answers.emplace_back(&app, uninstall_precheck(installed, app));
    }
  }

  UninstallPrecheck precheck;
  for (const auto& [app, answer] : answers) {
    if (answer == PrecheckAnswer::PerUser) precheck.per_user.emplace_back(app->id);
  }
  // A machine-only selection elevates anyway; the answers are logged only when they decide.
  if (decide_elevation(request, true, false).machine_only_in_selection) return precheck;
  for (const auto& [app, answer] : answers) {
    log::info(format("uninstall pre-check: {} -> {}", app->display_name, precheck_text(answer)));
    if (answer == PrecheckAnswer::MachineWide) {
      precheck.needs_admin = true;
      break;
    }
  }
  return precheck;
}

// Everything after the mutex and the quit file: start, connect, relay, wait.
int start_and_relay(const RunRequest& request, const std::string& quit_file, std::uint32_t pid) {
  const std::vector<std::string> selected = selected_ids(request.apps);
  const std::string action(wire_string(request.action));
  std::vector<AppResult> results;
  const auto finish = [&](int code) { return finish_run(action, request.strict, code, selected, results); };

  const std::string pipe_name = event_pipe_name(pid);
  const UninstallPrecheck precheck = request.action == RunAction::Uninstall ? uninstall_precheck_of(request)
                                                                            : UninstallPrecheck{};
  const std::string payload_text = worker_payload_text(request, quit_file, pipe_name, precheck.per_user);

  const ElevationDecision elevation = decide_elevation(request, platform::is_elevated(), precheck.needs_admin);
  log::info(format("run action={} scope={} needs_elevation={} (machine_only_in_selection={} uninstall_needs_admin={})",
                   action, wire_string(request.scope), elevation.needs_elevation,
                   elevation.machine_only_in_selection, elevation.uninstall_needs_admin));

  std::optional<platform::DetachedProcess> worker;
  if (elevation.needs_elevation) {
    emit(admin_prompt_event());
    ElevatedStart started = elevate_self(payload_text);
    if (started.declined) {
      emit_log("warn", "administrator authorization was declined");
      for (const std::string& app : selected) {
        AppResult result = declined_result(request, app);
        emit(app_result_object(result));
        results.push_back(std::move(result));
      }
      return finish(kDeclined);
    }
    if (!started.process) {
      log::error(started.error);
      emit_log("error", started.error);
      return finish(kStartFailure);
    }
    worker = std::move(started.process);
  } else {
    const auto exe = platform::own_executable_path();
    if (!exe) {
      emit_log("error", format("current_exe failed: {}", exe.error().os.text));
      return finish(kStartFailure);
    }
    auto started = platform::DetachedProcess::start(*exe, {base64_encode_unpadded(payload_text)});
    if (!started) {
      emit_log("error", format("failed to spawn worker: {}", started.error().text));
      return finish(kStartFailure);
    }
    worker = std::move(*started);
  }

  const std::uint32_t worker_pid = worker->id();
  // Waiting in the background tells the connect loop when the worker is gone.
  auto exited = std::async(std::launch::async, [&worker, elevated = elevation.needs_elevation] {
    if (elevated) return wait_elevated(*worker);
    auto ended = worker->wait();
    if (ended) return *ended;
    log::error(format("failed to wait for worker: {}", ended.error().text));
    return static_cast<std::uint32_t>(kStartFailure);
  });
  const auto alive = [&exited] { return exited.wait_for(std::chrono::seconds(0)) != std::future_status::ready; };

  if (auto pipe = connect_event_pipe(pipe_name, worker_pid, alive)) {
    read_event_lines(*pipe, [&](std::string_view line) { relay_line(line, results); });
  } else {
    emit_log("error", "could not connect to the worker's event stream");
  }

  const std::uint32_t ended = exited.get();
  const int code = ended > kHighestWorkerCode ? kStartFailure : static_cast<int>(ended);
  return finish(code);
}
}  // namespace

int run_run(const std::vector<std::string>& arguments) {
  const InstallerConfig config = load_installer_config();
  auto parsed = parse_run_request(parse_flag_map(arguments), catalog_apps(), config.install_scope);
  if (!parsed) {
    const std::string* error = &parsed.error();
    platform::write_standard_error(printable(*error) + "\n");
    return 3;
  }
  const RunRequest request = std::move(*parsed);
  if (!request.install_dir.empty()) {
    emit_log("info", format("--install-dir '{}' is not supported on Windows; packages install to their fixed locations",
                            request.install_dir));
  }
  const std::string action(wire_string(request.action));
  const std::vector<std::string> selected = selected_ids(request.apps);

  // Only installs and updates are refused for retirement: removing an app is always allowed.
  if (request.action != RunAction::Uninstall) {
    if (const auto retirement = check_expiry()) return refuse_retired(request, *retirement);
  }

  bool already_exists = false;
  auto mutex = platform::NamedMutex::create_owned(kRunMutexName, already_exists);
  if (!mutex || already_exists) {
    if (!mutex) log::error(format("CreateMutexW failed: {}", mutex.error().text));
    emit_log("error", "another installer run is already in progress");
    std::vector<AppResult> none;
    return finish_run(action, request.strict, 2, selected, none);
  }

  const std::uint32_t pid = platform::current_process_id();
  const std::string quit_file = quit_file_path(pid);
  if (auto created = create_quit_file(quit_file); !created) {
    emit_log("error", format("failed to create cancellation token: {}", created.error()));
    std::vector<AppResult> none;
    return finish_run(action, request.strict, 2, selected, none);
  }
  const StdinCommands stdin_commands(standard_input_source(), quit_file);

  const int code = start_and_relay(request, quit_file, pid);
  remove_quit_file(quit_file);
  return code;
}

}  // namespace yoxa
