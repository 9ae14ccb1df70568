#pragma once
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/install_scope.h"
#include "core/protocol_event.h"
#include "front_end/command_line.h"

namespace yoxa {

enum class RunAction : std::uint8_t { Install, Update, Uninstall };
std::string_view wire_string(RunAction action);

struct RunRequest {
  RunAction action = RunAction::Install;
  AppSelection apps;
  bool strict = false;
  InstallScope scope = InstallScope::User;
  std::string install_dir;  // accepted for parity, never used
};

// The `run` arguments checked in order; the error text for standard error otherwise.
[[nodiscard]] std::expected<RunRequest, std::string> parse_run_request(const FlagMap& flags,
                                                        const std::vector<const AppDescriptor*>& catalog,
                                                        InstallScope configured_scope);

struct ElevationDecision {
  bool machine_only_in_selection = false;
  bool uninstall_needs_admin = false;
  bool needs_elevation = false;
};
// `uninstall_needs_admin` is asked only for uninstall runs without a machine-only app.
ElevationDecision decide_elevation(const RunRequest& request, bool already_elevated, bool uninstall_needs_admin);

// The result every selected app gets when the user declines the UAC prompt.
AppResult declined_result(const RunRequest& request, std::string app);

// "JSONRUN:action|quit file|apps|pipe|scope|per-user pre-check list", base64 without padding.
// The "JSONRUN:" text itself, and its base64 form that is the worker's one argument.
std::string worker_payload_text(const RunRequest& request, const std::string& quit_file, const std::string& pipe_name,
                                const std::vector<std::string>& per_user_precheck);
std::string encode_worker_payload(const RunRequest& request, const std::string& quit_file,
                                  const std::string& pipe_name, const std::vector<std::string>& per_user_precheck);

std::vector<std::string> selected_ids(const AppSelection& apps);

}  // namespace yoxa
