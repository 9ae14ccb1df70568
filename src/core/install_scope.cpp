#include "core/install_scope.h"

#include "core/text.h"

namespace yoxa {

std::optional<InstallScope> parse_install_scope(std::string_view text) {
  const std::string word = ascii_lower(trim(text));
  if (word == "user") return InstallScope::User;
  if (word == "machine") return InstallScope::Machine;
  return std::nullopt;
}

std::string_view wire_string(InstallScope scope) { return scope == InstallScope::Machine ? "machine" : "user"; }

}  // namespace yoxa
