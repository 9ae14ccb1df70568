#include "core/cancel_token.h"

#include <filesystem>
#include <system_error>

#include "core/paths.h"

namespace yoxa {

CancelToken CancelToken::quit_file(std::string path) {
  return CancelToken([path = std::move(path)] {
    std::error_code error;
    const bool present = std::filesystem::exists(path_from_utf8(path), error);
    return !present && !error;
  });
}

CancelToken CancelToken::from(std::function<bool()> cancelled) { return CancelToken(std::move(cancelled)); }

}  // namespace yoxa
