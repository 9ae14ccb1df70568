#include "core/paths.h"
#include "front_end/command_line.h"
#include "front_end/emit.h"
#include "front_end/read_only_commands.h"
#include "install/staging.h"
#include "platform/system.h"

namespace yoxa {

int run_disk_free(const std::vector<std::string>& arguments) {
  const FlagMap flags = parse_flag_map(arguments);
  const auto given = flags.find("path");
  const std::string path = given != flags.end() && !given->second.empty()
                               ? given->second
                               : platform::environment_variable("SystemDrive").value_or("C:") + "\\";
  Json event = make_event("disk-free-result");
  event["path"] = path;
  const auto free = free_space_walking_up(path);
  event["freeBytes"] = free ? Json(free->bytes) : Json(nullptr);
  emit(event);
  emit_done("disk-free", 0, {});
  return 0;
}

}  // namespace yoxa
