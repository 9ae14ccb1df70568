#include "front_end/dispatch.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <optional>
#include <system_error>
#include <variant>

#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"
#include "front_end/catalog.h"
#include "front_end/command_line.h"
#include "front_end/export_logs_command.h"
#include "front_end/help_text.h"
#include "front_end/json_worker.h"
#include "front_end/provider_selection.h"
#include "front_end/run_command.h"
#include "front_end/read_only_commands.h"
#include "front_end/worker_payload.h"
#include "platform/system.h"
#include "silent/silent_payload.h"
#include "silent/silent_run.h"
#include "system/log_locations.h"
#include "system/logger.h"

namespace yoxa {

namespace {

constexpr int kExitInvalidArguments = 3;
constexpr int kExitInternalError = 2;

void print_error_line(std::string_view text) {
  std::string line(text);
  line += '\n';
  platform::write_standard_error(line);
}

std::string directory_error_text(const platform::OsError& error) {
  return format("Failed to change directory: {}", error.text);
}

// Handlers that this build does not carry yet end plainly.
int not_available(std::string_view what) {
  print_error_line(format("{} is not available in this build of the engine.", what));
  return kExitInvalidArguments;
}

int subcommand_door(const std::vector<std::string>& arguments, const std::optional<platform::OsError>& cwd_error) {
  if (auto logger = init_logger(launcher_log_dir()); !logger) {
    print_error_line(format("warning: file logging unavailable: {}", logger.error()));
  }
  sweep_stale_temp_folders(platform::temp_directory(), std::chrono::system_clock::now());
  if (cwd_error) log::warn(directory_error_text(*cwd_error));
  const std::string& word = arguments.front();
  const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  if (word == "hello") return run_hello();
  if (word == "disk-free") return run_disk_free(rest);
  if (word == "check-updates") return run_check_updates(rest);
  if (word == "run") return run_run(rest);
  if (word == "export-logs") return run_export_logs(rest);
  return not_available(format("The '{}' subcommand", word));
}

int worker_payload_door(const std::string& argument, const std::optional<platform::OsError>& cwd_error) {
  const std::string payload = decode_worker_payload(argument);
  const auto report_cwd_error = [&] {
    if (cwd_error) print_error_line(directory_error_text(*cwd_error));
  };
  if (payload.starts_with("JSONRUN:")) {
    const std::string_view rest = std::string_view(payload).substr(8);
    const auto parsed = parse_json_run_payload(rest);
    if (!parsed) {
      print_error_line(format("malformed JSONRUN payload: {}", printable(rest)));
      return kExitInvalidArguments;
    }
    report_cwd_error();
    return run_json_worker(*parsed);
  }
  if (const auto silent = parse_silent_payload(payload)) {
    report_cwd_error();
    if (silent->mode == SilentMode::Uninstall) return silent_uninstall(*silent);
    return silent_install(select_provider, *silent);
  }
  print_error_line("The legacy GUI-worker payload is not supported by this engine binary.");
  return kExitInvalidArguments;
}

int flag_mode_door(const std::vector<std::string>& arguments, const std::optional<platform::OsError>& cwd_error,
                   const std::string& start_directory) {
  // The banner comes before anything is parsed, so even a bad flag shows it.
  if (std::ranges::find(arguments, "--verbose") != arguments.end()) {
    set_log_echo(true);
    print_error_line(kVerboseBanner);
  }
  auto parsed = parse_flag_mode(arguments, catalog_apps());
  if (!parsed) {
    const std::string* error = &parsed.error();
    print_error_line(printable(*error));
    print_error_line("Run with --help for usage.");
    return kExitInvalidArguments;
  }
  SilentOptions& options = *parsed;
  if (options.log_directory) options.log_directory = log_directory_from(start_directory, *options.log_directory);
  if (options.help) {
    std::string text(kLongHelp);
    text += '\n';
    platform::write_standard_output(text);
    return 0;
  }
  if (options.silent) {
    if (cwd_error) print_error_line(directory_error_text(*cwd_error));
    return run_silent(select_provider, options);
  }
  print_error_line("No supported flag detected.");
  print_error_line(kShortUsage);
  return kExitInvalidArguments;
}

}  // namespace

int run_guarded(const std::function<int()>& body) {
  std::string what;
  try {
    return body();
  } catch (const std::exception& error) {
    what = printable(error.what());
  } catch (...) {
    what = "an unknown exception";
  }
  const std::string line = format("Unexpected internal error: {}", what);
  log::error(line);
  print_error_line(line);
  return kExitInternalError;
}

std::string log_directory_from(const std::string& start_directory, const std::string& log_directory) {
  const std::filesystem::path given = path_from_utf8(log_directory);
  if (given.is_absolute() || start_directory.empty()) return log_directory;
  return path_to_utf8_checked(path_from_utf8(start_directory) / given).value_or(log_directory);
}

int run_engine(const std::vector<std::string>& arguments) {
  return run_guarded([&] {
    if (!platform::restrict_dll_search_path()) return 1;
    platform::prepare_standard_streams();
    // Taken before the move: a relative --log names a folder where the user started us.
    std::error_code ignored;
    const std::string start_directory =
        path_to_utf8_checked(std::filesystem::current_path(ignored)).value_or(std::string());
    std::optional<platform::OsError> cwd_error;
    if (auto changed = platform::change_to_system_directory(); !changed) cwd_error = changed.error();

    switch (choose_door(arguments)) {
      case Door::Subcommand: return subcommand_door(arguments, cwd_error);
      case Door::WorkerPayload: return worker_payload_door(arguments.front(), cwd_error);
      case Door::FlagMode: return flag_mode_door(arguments, cwd_error, start_directory);
      case Door::Usage: break;
    }
    print_error_line(kShortUsage);
    return kExitInvalidArguments;
  });
}

}  // namespace yoxa
