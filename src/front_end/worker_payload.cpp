#include "front_end/worker_payload.h"

#include "core/base64.h"
#include "core/text.h"

namespace yoxa {


std::string decode_worker_payload(std::string_view argument) {
  auto bytes = base64_decode_unpadded(argument);
  if (!bytes || !is_valid_utf8(*bytes)) return {};
  return std::move(*bytes);
}

std::optional<JsonRunPayload> parse_json_run_payload(std::string_view text) {
  const std::vector<std::string> fields = split(text, '|');
  if (fields.size() < 4 || fields[3].empty()) return std::nullopt;
  JsonRunPayload payload;
  payload.action = fields[0];
  payload.quit_file = fields[1];
  payload.apps = split_trimmed(fields[2], ',');
  payload.pipe_name = fields[3];
  if (fields.size() > 4 && ascii_lower(trim(fields[4])) == "machine") payload.scope = InstallScope::Machine;
  if (fields.size() > 5) payload.per_user_precheck = split_trimmed(fields[5], ',');
  return payload;
}

}  // namespace yoxa
