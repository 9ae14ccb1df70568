#include "platform/held_file.h"

namespace yoxa::platform {

std::FILE* open_file_denying_writes(const std::string& utf8_path) { return std::fopen(utf8_path.c_str(), "rb"); }

}  // namespace yoxa::platform
