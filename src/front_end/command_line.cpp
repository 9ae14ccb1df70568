#include "front_end/command_line.h"

#include <algorithm>
#include <array>

#include "core/text.h"

namespace yoxa {

namespace {
constexpr std::array<std::string_view, 5> kSubcommands = {"hello", "run", "check-updates", "disk-free",
                                                          "export-logs"};
constexpr std::array<std::string_view, 7> kFlagWords = {"/S", "/s", "/silent", "/Silent", "/?", "/help", "-h"};

const AppDescriptor* find_in_catalog(std::string_view id, const std::vector<const AppDescriptor*>& catalog) {
  const auto it = std::ranges::find_if(catalog, [&](const AppDescriptor* app) { return app->id == id; });
  return it == catalog.end() ? nullptr : *it;
}

}  // namespace

bool is_subcommand(std::string_view word) { return std::ranges::find(kSubcommands, word) != kSubcommands.end(); }

bool is_flag_like(std::string_view argument) {
  return argument.starts_with("--") || std::ranges::find(kFlagWords, argument) != kFlagWords.end();
}

Door choose_door(const std::vector<std::string>& arguments) {
  if (!arguments.empty() && is_subcommand(arguments.front())) return Door::Subcommand;
  if (arguments.size() == 1 && !is_flag_like(arguments.front())) return Door::WorkerPayload;
  if (std::ranges::any_of(arguments, [](const std::string& a) { return is_flag_like(a); })) return Door::FlagMode;
  return Door::Usage;
}

FlagMap parse_flag_map(const std::vector<std::string>& arguments) {
  FlagMap flags;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (!arguments[i].starts_with("--")) continue;
    std::string key = arguments[i].substr(2);
    if (i + 1 < arguments.size() && !arguments[i + 1].starts_with("--")) {
      flags[std::move(key)] = arguments[++i];
    } else {
      flags[std::move(key)] = "";
    }
  }
  return flags;
}

std::string invalid_app_id_message(std::string_view id, const std::vector<const AppDescriptor*>& catalog) {
  std::vector<std::string> ids;
  for (const AppDescriptor* app : catalog) ids.emplace_back(app->id);
  return format("Invalid app id '{}'. Expected one of: {}", id, join(ids, ", "));
}

std::expected<AppSelection, std::string> resolve_app_selection(std::optional<std::string_view> apps_value,
                                                              const std::vector<const AppDescriptor*>& catalog) {
  const std::vector<std::string> ids = apps_value ? split_trimmed(*apps_value, ',') : std::vector<std::string>{};
  if (ids.empty()) return AppSelection(catalog.begin(), catalog.end());
  AppSelection selection;
  for (const auto& id : ids) {
    const AppDescriptor* app = find_in_catalog(id, catalog);
    if (!app) return std::unexpected(invalid_app_id_message(id, catalog));
    selection.push_back(app);
  }
  return selection;
}

std::expected<SilentOptions, std::string> parse_flag_mode(const std::vector<std::string>& arguments,
                                                         const std::vector<const AppDescriptor*>& catalog) {
  SilentOptions options;
  options.verbose = std::ranges::find(arguments, "--verbose") != arguments.end();
  bool apps_given = false;
  const auto value_after = [&](std::size_t& i) -> std::optional<std::string> {
    if (i + 1 >= arguments.size()) return std::nullopt;
    return arguments[++i];
  };

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    if (arg == "--silent" || arg == "/S" || arg == "/s" || arg == "/silent" || arg == "/Silent") {
      options.silent = true;
    } else if (arg == "--uninstall") {
      options.mode = SilentMode::Uninstall;
    } else if (arg == "--mode") {
      auto value = value_after(i);
      if (!value) return std::unexpected(std::string("--mode requires a value (install|uninstall)"));
      if (*value == "install") options.mode = SilentMode::Install;
      else if (*value == "uninstall") options.mode = SilentMode::Uninstall;
      else return std::unexpected(format("--mode must be install or uninstall, got '{}'", *value));
    } else if (arg == "--help" || arg == "/?" || arg == "/help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--apps") {
      auto value = value_after(i);
      if (!value) return std::unexpected(std::string("--apps requires a value (e.g. quill,abacus,lumen)"));
      std::vector<std::string> ids = split_trimmed(*value, ',');
      if (ids.empty()) return std::unexpected(std::string("--apps value is empty"));
      for (const auto& id : ids) {
        if (!find_in_catalog(id, catalog)) return std::unexpected(invalid_app_id_message(id, catalog));
      }
      options.apps = std::move(ids);
      apps_given = true;
    } else if (arg == "--log") {
      auto value = value_after(i);
      if (!value) return std::unexpected(std::string("--log requires a directory path"));
      options.log_directory = std::move(*value);
    } else if (arg == "--scope") {
      auto value = value_after(i);
      if (!value) return std::unexpected(std::string("--scope requires a value (user|machine)"));
      options.scope = parse_install_scope(*value);
      if (!options.scope) return std::unexpected(format("--scope must be user or machine, got '{}'", *value));
    }
  }
  if (!apps_given) {
    for (const AppDescriptor* app : catalog) options.apps.emplace_back(app->id);
  }
  return options;
}

}  // namespace yoxa
