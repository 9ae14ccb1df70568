#include "front_end/export_logs_command.h"

#include <optional>

#include "front_end/command_line.h"
#include "front_end/emit.h"
#include "system/log_export.h"

namespace yoxa {

Json export_logs_result_event(const Result<std::string>& exported) {
  Json event = make_event("export-logs-result");
  event["path"] = exported ? Json(*exported) : Json(nullptr);
  event["errorCode"] = exported ? Json(nullptr) : Json(wire_string(code_for_error(exported.error())));
  return event;
}

int run_export_logs(const std::vector<std::string>& arguments) {
  const FlagMap flags = parse_flag_map(arguments);
  std::optional<std::string> out_dir;
  if (const auto given = flags.find("out"); given != flags.end()) out_dir = given->second;
  const auto exported = export_logs(out_dir);
  emit(export_logs_result_event(exported));
  const int exit_code = exported ? 0 : 2;
  emit_done("export-logs", exit_code, {});
  return exit_code;
}

}  // namespace yoxa
