#include "front_end/run_command.h"

#include <chrono>
#include <filesystem>
#include <fstream>
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
#include "system/logger.h"

namespace yoxa {

namespace {
constexpr const char* kRunMutexName = "YoxaOfficeInstallerEngineRun";
constexpr int kStartFailure = 2;
constexpr std::uint32_t kHighestWorkerCode = 5;

std::string quit_file_path(std::uint32_t pid) {
  return path_to_utf8(path_from_utf8(platform::temp_directory()) / format("YoxaOfficeEngineRun-{}.lock", pid));
}

std::string event_pipe_name(std::uint32_t pid) { return format("\\\\.\\pipe\\Yoxa\\YoxaOffice\\EngineRun-{}", pid); }

std::expected<void, std::string> create_quit_file(const std::string& path) {
  std::ofstream file(path_from_utf8(path), std::ios::binary | std::ios::trunc);
  if (!file) {
    std::error_code error(errno, std::generic_category());
    return std::unexpected(error.message());
  }
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

// Everything after the mutex and the quit file: start, connect, relay, wait.
int start_and_relay(const RunRequest& request, const std::string& quit_file, std::uint32_t pid) {
  const std::vector<std::string> selected = selected_ids(request.apps);
  const std::string action(wire_string(request.action));
  std::vector<AppResult> results;
  const auto finish = [&](int code) { return finish_run(action, request.strict, code, selected, results); };

  const std::string pipe_name = event_pipe_name(pid);
  const std::vector<std::string> per_user_precheck;  // uninstall runs fill this in
  const std::string payload = encode_worker_payload(request, quit_file, pipe_name, per_user_precheck);

  const ElevationDecision elevation = decide_elevation(request, platform::is_elevated(), false);
  log::info(format("run action={} scope={} needs_elevation={} (machine_only_in_selection={} uninstall_needs_admin={})",
                   action, wire_string(request.scope), elevation.needs_elevation,
                   elevation.machine_only_in_selection, elevation.uninstall_needs_admin));
  if (elevation.needs_elevation) {
    emit_log("error", "starting an elevated worker is not available in this build of the engine");
    return finish(kStartFailure);
  }

  const std::string exe = platform::own_executable_path();
  if (exe.empty()) {
    emit_log("error", "current_exe failed: the path of the running executable is unknown");
    return finish(kStartFailure);
  }
  auto worker = platform::DetachedProcess::start(exe, {payload});
  if (!worker) {
    emit_log("error", format("failed to spawn worker: {}", worker.error().text));
    return finish(kStartFailure);
  }
  const std::uint32_t worker_pid = worker->id();
  // Waiting in the background tells the connect loop when the worker is gone.
  auto exited = std::async(std::launch::async, [&worker] { return worker->wait(); });
  const auto alive = [&exited] { return exited.wait_for(std::chrono::seconds(0)) != std::future_status::ready; };

  if (auto pipe = connect_event_pipe(pipe_name, worker_pid, alive)) {
    read_event_lines(*pipe, [&](std::string_view line) { relay_line(line, results); });
  } else {
    emit_log("error", "could not connect to the worker's event stream");
  }

  int code = kStartFailure;
  if (auto ended = exited.get()) {
    code = *ended > kHighestWorkerCode ? kStartFailure : static_cast<int>(*ended);
  } else {
    log::error(format("failed to wait for worker: {}", ended.error().text));
  }
  return finish(code);
}
}  // namespace

int run_run(const std::vector<std::string>& arguments) {
  const InstallerConfig config = load_installer_config();
  auto parsed = parse_run_request(parse_flag_map(arguments), catalog_apps(), config.install_scope);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    platform::write_standard_error(printable(*error) + "\n");
    return 3;
  }
  const RunRequest request = std::get<RunRequest>(std::move(parsed));
  if (request.action == RunAction::Uninstall) {
    platform::write_standard_error("Uninstall runs are not available in this build of the engine.\n");
    return 3;
  }
  if (!request.install_dir.empty()) {
    emit_log("info", format("--install-dir '{}' is not supported on Windows; packages install to their fixed locations",
                            request.install_dir));
  }
  const std::string action(wire_string(request.action));
  const std::vector<std::string> selected = selected_ids(request.apps);

  // Only installs and updates are refused for retirement; uninstall runs returned above.
  if (const auto retirement = check_expiry()) return refuse_retired(request, *retirement);

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
