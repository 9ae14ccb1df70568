#include "front_end/run_request.h"

#include "core/error.h"

#include <algorithm>

#include "core/base64.h"
#include "core/text.h"

namespace yoxa {

std::string_view wire_string(RunAction action) {
  switch (action) {
    case RunAction::Install:
      return "install";
    case RunAction::Update:
      return "update";
    case RunAction::Uninstall:
      return "uninstall";
  }
  return "install";
}

std::expected<RunRequest, std::string> parse_run_request(const FlagMap& flags,
                                                        const std::vector<const AppDescriptor*>& catalog,
                                                        InstallScope configured_scope) {
  const auto value = [&](const char* key) -> std::optional<std::string_view> {
    const auto it = flags.find(key);
    if (it == flags.end()) return std::nullopt;
    return std::string_view(it->second);
  };
  RunRequest request;
  const auto action = value("action");
  if (!action) return std::unexpected(std::string("run requires --action install|update|uninstall"));
  if (*action == "install") {
    request.action = RunAction::Install;
  } else if (*action == "update") {
    request.action = RunAction::Update;
  } else if (*action == "uninstall") {
    request.action = RunAction::Uninstall;
  } else {
    return std::unexpected(format("--action must be install, update or uninstall (got '{}')", *action));
  }

  auto resolved = resolve_app_selection(value("apps"), catalog);
  if (!resolved) return std::unexpected(std::move(resolved.error()));
  request.apps = std::move(*resolved);

  request.strict = value("strict") == std::optional<std::string_view>("true");

  const auto scope = value("scope");
  if (scope && !scope->empty()) {
    const std::string normal = ascii_lower(trim(*scope));
    if (normal == "user") {
      request.scope = InstallScope::User;
    } else if (normal == "machine") {
      request.scope = InstallScope::Machine;
    } else {
      return std::unexpected(format("--scope must be user or machine (got '{}')", *scope));
    }
  } else {
    request.scope = configured_scope;
  }
  request.install_dir = std::string(value("install-dir").value_or(""));
  return request;
}

ElevationDecision decide_elevation(const RunRequest& request, bool already_elevated, bool uninstall_needs_admin) {
  ElevationDecision decision;
  const bool machine_scope = request.scope == InstallScope::Machine;
  decision.machine_only_in_selection =
      (machine_scope && !request.apps.empty()) ||
      std::ranges::any_of(request.apps, [](const AppDescriptor* app) { return app->machine_only; });
  decision.uninstall_needs_admin =
      request.action == RunAction::Uninstall && !decision.machine_only_in_selection && uninstall_needs_admin;
  decision.needs_elevation =
      !already_elevated && (machine_scope || decision.machine_only_in_selection || decision.uninstall_needs_admin);
  return decision;
}

AppResult declined_result(const RunRequest& request, std::string app) {
  const ErrorKind kind = request.action == RunAction::Uninstall ? ErrorKind::UninstallAuthCancelled : ErrorKind::UacDeclined;
  return AppResult::failed(std::move(app), wire_string(kind));
}

std::vector<std::string> selected_ids(const AppSelection& apps) {
  std::vector<std::string> ids;
  ids.reserve(apps.size());
  for (const AppDescriptor* app : apps) ids.emplace_back(app->id);
  return ids;
}

std::string worker_payload_text(const RunRequest& request, const std::string& quit_file, const std::string& pipe_name,
                                const std::vector<std::string>& per_user_precheck) {
  return format("JSONRUN:{}|{}|{}|{}|{}|{}", wire_string(request.action), quit_file,
                join(selected_ids(request.apps), ","), pipe_name, wire_string(request.scope),
                join(per_user_precheck, ","));
}

std::string encode_worker_payload(const RunRequest& request, const std::string& quit_file,
                                  const std::string& pipe_name, const std::vector<std::string>& per_user_precheck) {
  return base64_encode_unpadded(worker_payload_text(request, quit_file, pipe_name, per_user_precheck));
}

}  // namespace yoxa
