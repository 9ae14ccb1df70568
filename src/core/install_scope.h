#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace yoxa {

enum class InstallScope : std::uint8_t { User, Machine };

// Trimmed, ASCII case ignored: "user" or "machine"; anything else is none.
std::optional<InstallScope> parse_install_scope(std::string_view text);
std::string_view wire_string(InstallScope scope);

}  // namespace yoxa
