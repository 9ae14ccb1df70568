#include "front_end/json_worker.h"

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "core/error.h"
#include "core/paths.h"
#include "core/scrambled.h"
#include "core/text.h"
#include "front_end/event_pipe.h"
#include "front_end/provider_selection.h"
#include "front_end/run_outcome.h"
#include "install/pipeline.h"
#include "install/staging.h"
#include "platform/security.h"
#include "platform/system.h"
#include "system/log_locations.h"
#include "system/logger.h"
#include "uninstall/run_uninstall.h"

namespace yoxa {

namespace {
constexpr int kJoinChecks = 50;
constexpr auto kJoinSpacing = std::chrono::milliseconds(100);

std::string id_list(const std::vector<std::string>& ids) {
  std::string out = "[";
  for (std::size_t i = 0; i < ids.size(); ++i) out += format("{}\"{}\"", i == 0 ? "" : ", ", ids[i]);
  return out + "]";
}

// Support staff read the access list of the configuration directory from the log.
void record_directory_permissions(const std::string& base) {
  auto listed = run_hidden_tool(access_control_tool_path(), {base});
  if (!listed) {
    log::warn("Failed to retrieve directory ACLs");
    return;
  }
  log::info(format("Directory ACLs:\n{}", trim(utf8_lossy(listed->standard_output))));
}

struct WorkOutcome {
  std::vector<AppResult> results;
  bool cancelled = false;
  int exit_code = 0;
};

WorkOutcome run_install_work(const JsonRunPayload& payload, const EventSink& sink, const std::string& log_dir) {
  const bool machine = payload.scope == InstallScope::Machine;
  const bool privileged = platform::is_elevated();
  const auto provider = select_provider();
  log::info(format("Install scope: {}", machine ? "machine" : "user"));
  const RunContext run{
      .settings = {.app_ids = payload.apps, .machine = machine, .staging_base = config_base_dir(machine || privileged),
                   .privileged = privileged, .log_dir = log_dir},
      .sink = sink,
      .cancel = CancelToken::quit_file(payload.quit_file),
  };
  auto outcome = run_install(*provider, run);
  if (outcome) {
    const int code = worker_exit_code(outcome->results, outcome->aborted);
    return {std::move(outcome->results), outcome->aborted, code};
  }
  const Error& error = outcome.error();
  log::error(format("Run failed: {}", error.full_text()));
  sink.log("error", error.message());
  WorkOutcome failed;
  const std::string_view code = wire_string(code_for_error(error));
  for (const std::string& app : payload.apps) {
    AppResult result = AppResult::failed(app, code);
    sink.app_result(result);
    failed.results.push_back(std::move(result));
  }
  failed.exit_code = exit_code_for_error(error);
  return failed;
}

// Uninstall has no whole-run error: every app ends in its own result.
WorkOutcome run_uninstall_work(const JsonRunPayload& payload, const EventSink& sink, const std::string& log_dir) {
  const bool machine = payload.scope == InstallScope::Machine;
  const RunContext run{
      .settings = {.app_ids = payload.apps, .machine = machine, .staging_base = config_base_dir(machine),
                   .log_dir = log_dir},
      .sink = sink,
      .cancel = CancelToken::quit_file(payload.quit_file),
  };
  std::vector<AppResult> results = run_uninstall(run, payload.per_user_precheck);
  const int code = worker_exit_code(results, false);
  return {std::move(results), false, code};
}

// An elevated worker logs in the machine base whatever the scope, below ProgramData,
// every level made trustworthy first; its lines wait until the log is open.
std::expected<void, std::string> prepare_log_dir(const std::string& log_dir, bool machine_base) {
  if (!machine_base) return {};
  hold_log_lines();
  return ensure_machine_directory(log_dir, true);
}
}  // namespace

int run_json_worker(const JsonRunPayload& payload) {
  const bool machine = payload.scope == InstallScope::Machine;
  const bool machine_base = machine || platform::is_elevated();
  const std::string base = config_base_dir(machine_base);
  const std::string log_dir = path_to_utf8(path_from_utf8(base) / "logs");
  if (auto prepared = prepare_log_dir(log_dir, machine_base); !prepared) {
    platform::write_standard_error(format("Failed to initialize logger: {}\n", prepared.error()));
    return 2;
  }
  if (auto logger = init_logger(log_dir); !logger) {
    platform::write_standard_error(format("Failed to initialize logger: {}\n", logger.error()));
    return 2;
  }
  create_msi_log_placeholders(log_dir);
  record_directory_permissions(base);
  log::info(format("--- JSON elevated worker starting (pid={}, action={}) ---", platform::current_process_id(),
                   payload.action));
  log::info(format("Selected apps: {}; event pipe: {}", id_list(payload.apps), payload.pipe_name));

  auto [sink, receiver] = make_event_channel();
  std::packaged_task<void()> sender_task(
      [name = payload.pipe_name, events = std::move(receiver)]() mutable {
        run_event_pipe_sender(name, std::move(events));
      });
  std::future<void> sender_done = sender_task.get_future();
  std::thread sender(std::move(sender_task));

  int code = 0;
  {
    // The only sink the work holds: dropping it closes the channel and ends the sender.
    const EventSink work_sink = std::move(sink);
    if (payload.action == "uninstall") {
      code = run_uninstall_work(payload, work_sink, log_dir).exit_code;
    } else {
      code = run_install_work(payload, work_sink, log_dir).exit_code;
    }
  }

  bool joined = false;
  for (int check = 0; check < kJoinChecks && !joined; ++check) {
    joined = sender_done.wait_for(kJoinSpacing) == std::future_status::ready;
  }
  if (joined) {
    sender.join();
  } else {
    log::error("Failed to join IPC sender thread");
    sender.detach();
  }
  log::info(format("--- JSON elevated worker exiting with code {} ---", code));
  return code;
}

}  // namespace yoxa
