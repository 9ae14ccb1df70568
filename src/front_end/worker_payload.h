#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/install_scope.h"

namespace yoxa {

// The text carried by a single worker argument: unpadded base64 of UTF-8. Empty
// when the argument is not valid base64 or the bytes are not UTF-8.
std::string decode_worker_payload(std::string_view argument);

struct JsonRunPayload {
  std::string action;
  std::string quit_file;
  std::vector<std::string> apps;
  std::string pipe_name;
  InstallScope scope = InstallScope::User;
  std::vector<std::string> per_user_precheck;
};

// The text after "JSONRUN:"; none when it is malformed.
std::optional<JsonRunPayload> parse_json_run_payload(std::string_view text);

}  // namespace yoxa
