#pragma once
#include <optional>
#include <string>

namespace yoxa {
// Why this installer refuses to install, carried as `installerRetired`.
struct Retirement {
  std::string reason;  // "expired" or "source-unavailable"
  std::string download_url;
  std::optional<std::string> expires_on;
};
}  // namespace yoxa
