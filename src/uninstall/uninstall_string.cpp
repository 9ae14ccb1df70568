#include "uninstall/uninstall_string.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <optional>
#include <string>

#include "core/log.h"
#include "core/messages.h"
#include "core/places.h"
#include "core/text.h"
#include "platform/system.h"
#include "uninstall/stub_cleanup.h"
#include "uninstall/uninstall_command.h"
#include "uninstall/uninstall_msi.h"

namespace yoxa {

namespace {

std::string optional_code(std::uint32_t code) { return format("Some({})", code); }

std::string transcript_text(const UninstallCommand& command, const CapturedRun& ran) {
  std::string text = format("\n=== Yoxa installer: uninstaller runner ===\ncommand: {} {}\nexit: {}\n", command.program,
                            argument_list_text(command.arguments), optional_code(ran.exit_code));
  const auto section = [&text](std::string_view title, const std::string& bytes) {
    const std::string decoded = utf8_lossy(bytes);
    if (trim(decoded).empty()) return;
    std::string_view kept = decoded;
    while (!kept.empty() && std::string_view(" \t\r\n\f\v").find(kept.back()) != std::string_view::npos) {
      kept.remove_suffix(1);
    }
    text += format("--- {} ---\n{}\n", title, kept);
  };
  section("stdout", ran.standard_output);
  section("stderr", ran.standard_error);
  return text;
}

// The uninstaller's own output is kept for support; losing it never changes the outcome.
void append_transcript(const std::optional<std::string>& log_path, const std::string& log_dir,
                       const std::string& text) {
  if (!log_path) {
    log::warn(format("Could not open uninstall log {}: {}", printable(log_dir), "the path is not valid UTF-8"));
    return;
  }
  std::FILE* file = platform::open_file(*log_path, "ab");
  if (file == nullptr) {
    log::warn(format("Could not open uninstall log {}: {}", *log_path, std::strerror(errno)));
    return;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    log::warn(format("Could not write uninstall transcript to {}: {}", *log_path, std::strerror(errno)));
  }
}

}  // namespace

RemovalOutcome uninstall_by_uninstall_string(const RunContext& run, const UninstallHost& host, const AppDescriptor& app,
                                             const InstalledProduct& entry, bool all_hives) {
  const auto log_path = uninstall_log_path(run.settings.log_dir, app.id);
  const std::optional<std::string>& registered = entry.quiet_uninstall_string ? entry.quiet_uninstall_string
                                                                              : entry.uninstall_string;
  if (!registered) {
    return fail(msg::kUninstallFailed, format("{} is installed but has no UninstallString", app.display_name),
                place::kUninstallNoCommand);
  }
  UninstallCommand command = split_uninstall_command(trim(*registered));
  if (command.program.empty()) {
    // Starting "" would leave the choice of program to the system.
    return fail(msg::kUninstallFailed, format("{} has an UninstallString without a program", app.display_name),
                place::kUninstallNoProgram);
  }

  const bool msiexec = is_msiexec(command.program);
  if (msiexec) {
    add_msiexec_switches(command.arguments, log_path);
  } else if (!add_nsis_switches(command.arguments, nsis_install_dir(command.program, entry.install_location))) {
    log::warn(format("{}: no install dir for NSIS _?= (uninstaller may run async; relying on re-detect poll)",
                     app.display_name));
  }

  log::info(format("Uninstalling {} via UninstallString: {} {}", app.display_name, command.program,
                   argument_list_text(command.arguments)));
  auto ran = host.run_uninstaller(command.program, command.arguments);
  if (!ran) return fail(msg::kUninstallFailed, ran.error().text, place::kUninstallStart);
  const std::string exit_text = optional_code(ran->exit_code);
  log::info(format("{}: uninstaller exited {}", app.display_name, exit_text));
  append_transcript(log_path, run.settings.log_dir, transcript_text(command, *ran));

  // The exit code does not decide: uninstallers return early or lie. The registry does.
  const RootScope scope = all_hives ? RootScope::Any : RootScope::UserOnly;
  for (int lookup = 1;; ++lookup) {
    if (!run.installed->find_by_product_name_in(app.product_name, scope)) break;
    if (lookup == kRedetectLookups) {
      return fail(msg::kUninstallFailed,
                  format("{} still present in {} hive(s) {}s after running UninstallString (exit {}); see {}",
                         app.display_name, all_hives ? "All" : "User", kRedetectLookups, exit_text,
                         log_path.value_or("")),
                  place::kUninstallStillPresent);
    }
    run.pause(std::chrono::seconds(1));
  }
  log::info(format("{}: confirmed removed after UninstallString", app.display_name));

  if (!msiexec) clean_up_uninstaller_stub(app.display_name, command.program);
  return Removal::Removed;
}

}  // namespace yoxa
