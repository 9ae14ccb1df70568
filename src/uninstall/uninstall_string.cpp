#include "uninstall/uninstall_string.h"

#include <algorithm>
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
#include "uninstall/folder_guard.h"
#include "uninstall/stub_cleanup.h"
#include "uninstall/uninstall_command.h"
#include "uninstall/uninstall_msi.h"

namespace yoxa {

namespace {

// Signed, as exit codes are documented ("Some(-1)" rather than "Some(4294967295)"); "None"
// for an uninstaller we had to end.
std::string optional_code(const CapturedRun& ran) {
  if (ran.timed_out) return "None";
  return format("Some({})", static_cast<std::int32_t>(ran.exit_code));
}

std::string transcript_text(const UninstallCommand& command, const CapturedRun& ran) {
  std::string text = format("\n=== Yoxa installer: uninstaller runner ===\ncommand: {} {}\nexit: {}\n", command.program,
                            argument_list_text(command.arguments), optional_code(ran));
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

// The directory for "_?=", unless it is one an uninstaller must not delete from.
std::optional<std::string> guarded_install_dir(const UninstallHost& host, const AppDescriptor& app,
                                               const UninstallCommand& command, const InstalledProduct& entry) {
  const bool given = std::ranges::any_of(command.arguments, [](const std::string& a) { return a.starts_with("_?="); });
  if (given) return std::nullopt;  // the entry's own choice stands
  auto dir = nsis_install_dir(command.program, entry.install_location);
  if (!dir) {
    log::warn(format("{}: no install dir for NSIS _?= (uninstaller may run async; relying on re-detect poll)",
                     app.display_name));
    return std::nullopt;
  }
  if (const auto unsafe = unsafe_install_folder(*dir, protected_folders(host.environment_variable))) {
    log::warn(format("{}: not passing _?={} to the uninstaller \u2014 {} (relying on re-detect poll)",
                     app.display_name, printable(*dir), *unsafe));
    return std::nullopt;
  }
  return dir;
}

// The entry has to go: polled, as uninstallers return early. A lookup that fails is no
// answer, so it never ends the poll as "gone".
RemovalOutcome confirm_entry_gone(const RunContext& run, const AppDescriptor& app, bool all_hives,
                                  const std::string& exit_text, const std::optional<std::string>& log_path) {
  const RootScope scope = all_hives ? RootScope::Any : RootScope::UserOnly;
  for (int lookup = 1;; ++lookup) {
    const auto present = run.installed->product_name_registered_in(app.product_name, scope);
    if (present && !*present) return Removal::Removed;
    if (lookup == kRedetectLookups) {
      if (!present) {
        return fail(msg::kUninstallFailed,
                    format("{} could not be confirmed removed {}s after running UninstallString (exit {}): {}; see {}",
                           app.display_name, kRedetectLookups, exit_text, present.error().full_text(),
                           log_path.value_or("")),
                    place::kUninstallNotConfirmed);
      }
      return fail(msg::kUninstallFailed,
                  format("{} still present in {} hive(s) {}s after running UninstallString (exit {}); see {}",
                         app.display_name, all_hives ? "All" : "User", kRedetectLookups, exit_text,
                         log_path.value_or("")),
                  place::kUninstallStillPresent);
    }
    run.pause(std::chrono::seconds(1));
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
  // The system's command line ends at a NUL: what would run is not what we read.
  if (registered->find('\0') != std::string::npos) {
    return fail(msg::kUninstallFailed,
                format("{} has an UninstallString with a NUL character inside; refusing to run it: {}",
                       app.display_name, printable(*registered)),
                place::kUninstallNulInCommand);
  }
  UninstallCommand command = split_uninstall_command(trim(*registered));
  if (command.program.empty()) {
    // Starting "" would leave the choice of program to the system.
    return fail(msg::kUninstallFailed, format("{} has an UninstallString without a program", app.display_name),
                place::kUninstallNoProgram);
  }

  const bool msiexec = is_msiexec(command.program);
  if (msiexec) {
    // Whatever path the entry gives, msiexec's switches go only to the system's own msiexec.
    auto system_msiexec = host.msiexec_program();
    if (!system_msiexec) return fail(msg::kUninstallFailed, system_msiexec.error().text, place::kUninstallMsiexecPath);
    if (command.program != *system_msiexec) {
      log::info(format("{}: UninstallString names msiexec as '{}'; running {}", app.display_name,
                       printable(command.program), *system_msiexec));
    }
    command.program = std::move(*system_msiexec);
    add_msiexec_switches(command.arguments, log_path);
  } else {
    (void)add_nsis_switches(command.arguments, guarded_install_dir(host, app, command, entry));
  }

  log::info(format("Uninstalling {} via UninstallString: {} {}", app.display_name, printable(command.program),
                   printable(argument_list_text(command.arguments))));
  bool cancel_seen = false;
  const UninstallerWait wait{.limit = kUninstallerTimeLimit, .on_poll = [&] {
                               if (cancel_seen || !run.cancel.cancelled()) return;
                               cancel_seen = true;
                               log::info(format("{}: cancel received; the removal under way is finished first",
                                                app.display_name));
                             }};
  auto ran = host.run_uninstaller(command.program, command.arguments, wait);
  if (!ran) return fail(msg::kUninstallFailed, ran.error().text, place::kUninstallStart);
  const std::string exit_text = optional_code(*ran);
  log::info(format("{}: uninstaller exited {}", app.display_name, exit_text));
  if (ran->output_truncated) {
    log::warn(format("{}: the uninstaller wrote more than {} bytes to a stream; the transcript keeps the first {}",
                     app.display_name, kUninstallerOutputLimit, kUninstallerOutputLimit));
  }
  append_transcript(log_path, run.settings.log_dir, transcript_text(command, *ran));
  if (ran->timed_out) {
    return fail(msg::kUninstallFailed,
                format("{} uninstaller still running after {} minutes; it was ended; see {}", app.display_name,
                       std::chrono::duration_cast<std::chrono::minutes>(kUninstallerTimeLimit).count(),
                       log_path.value_or("")),
                place::kUninstallTimedOut);
  }

  // The exit code does not decide: uninstallers return early or lie. The registry does.
  if (auto gone = confirm_entry_gone(run, app, all_hives, exit_text, log_path); !gone) return gone;
  log::info(format("{}: confirmed removed after UninstallString", app.display_name));

  if (!msiexec) clean_up_uninstaller_stub(app.display_name, command.program);
  return Removal::Removed;
}

}  // namespace yoxa
