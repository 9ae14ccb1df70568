#include "silent/silent_payload.h"

#include "core/text.h"

namespace yoxa {

namespace {
constexpr std::string_view kInstallPrefix = "SILENT:";
constexpr std::string_view kUninstallPrefix = "UNINSTALL:";
}  // namespace

std::string encode_silent_payload(const SilentOptions& options) {
  std::string text(options.mode == SilentMode::Install ? kInstallPrefix : kUninstallPrefix);
  text += join(options.apps, ",");
  if (options.log_directory || options.scope) {
    text += '|';
    text += options.log_directory.value_or("");
  }
  if (options.scope) {
    text += '|';
    text += wire_string(*options.scope);
  }
  return text;
}

std::optional<SilentOptions> parse_silent_payload(std::string_view payload) {
  SilentOptions options;
  options.silent = true;
  if (payload.starts_with(kInstallPrefix)) {
    payload.remove_prefix(kInstallPrefix.size());
  } else if (payload.starts_with(kUninstallPrefix)) {
    payload.remove_prefix(kUninstallPrefix.size());
    options.mode = SilentMode::Uninstall;
  } else {
    return std::nullopt;
  }
  // At most three pieces: a third bar belongs to the scope piece (and spoils it).
  const std::size_t first_bar = payload.find('|');
  options.apps = split_trimmed(payload.substr(0, first_bar), ',');
  if (first_bar == std::string_view::npos) return options;
  std::string_view rest = payload.substr(first_bar + 1);
  const std::size_t second_bar = rest.find('|');
  const std::string_view log_directory = rest.substr(0, second_bar);
  if (!log_directory.empty()) options.log_directory = std::string(log_directory);
  if (second_bar != std::string_view::npos) {
    const std::string scope = ascii_lower(trim(rest.substr(second_bar + 1)));
    if (scope == "user") options.scope = InstallScope::User;
    if (scope == "machine") options.scope = InstallScope::Machine;
  }
  return options;
}

}  // namespace yoxa
