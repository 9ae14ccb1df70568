#include "uninstall/uninstall_msi.h"

#include <cstdint>
#include <vector>

#include "core/log.h"
#include "core/messages.h"
#include "core/paths.h"
#include "core/places.h"
#include "core/text.h"

namespace yoxa {

std::optional<std::string> uninstall_log_path(const std::string& log_dir, std::string_view app_id) {
  if (!is_valid_utf8(log_dir)) return std::nullopt;
  return path_to_utf8(path_from_utf8(log_dir) / format("uninstall-{}.log", app_id));
}

RemovalOutcome uninstall_msi(const AppDescriptor& app, std::string_view product_code, const std::string& log_dir,
                             const UninstallHost& host) {
  const auto log_path = uninstall_log_path(log_dir, app.id);
  if (!log_path) return fail("Could not encode uninstall log path", log_dir, place::kUninstallLogPath);
  log::info(format("Uninstalling {} (GUID {}); log: {}", app.display_name, product_code, *log_path));

  const std::vector<std::string> arguments{"/x", std::string(product_code), "/quiet", "/qn", "/norestart", "/l*v",
                                           *log_path};
  auto program = host.msiexec_program();
  if (!program) return fail(msg::kUninstallFailed, program.error().text, place::kUninstallMsiexecPath);
  auto ended = host.run_msiexec(*program, arguments);
  if (!ended) return fail(msg::kUninstallFailed, ended.error().text, place::kUninstallMsiStart);
  // Exit codes read as signed numbers, as msiexec documents them.
  const auto code = static_cast<std::int32_t>(*ended);
  log::info(format("msiexec /x for {} finished with status: {}", app.display_name, code));
  if (code != 0) {
    return fail(msg::kUninstallFailed, format("msiexec /x exited with code {}", code), place::kUninstallMsiExit);
  }
  return Removal::Removed;
}

RemovalOutcome uninstall_msi_confirmed(const RunContext& run, const UninstallHost& host, const AppDescriptor& app,
                                       std::string_view product_code, RootScope scope) {
  auto removed = uninstall_msi(app, product_code, run.settings.log_dir, host);
  if (!removed) return removed;
  // msiexec's 0 is not the last word: every product under the code has to be gone.
  const auto left = run.installed->products_by_upgrade_code_in(app.upgrade_code, scope);
  const std::string log_path = uninstall_log_path(run.settings.log_dir, app.id).value_or("");
  if (!left) {
    return fail(msg::kUninstallFailed,
                format("{} could not be confirmed removed after msiexec /x: {}; see {}", app.display_name,
                       left.error().full_text(), log_path),
                place::kUninstallNotConfirmed);
  }
  if (!left->empty()) {
    std::vector<std::string> codes;
    for (const InstalledProduct& product : *left) codes.push_back(printable(product.key));
    return fail(msg::kUninstallFailed,
                format("{} still present in {} hive(s) after msiexec /x (exit 0): {}; see {}", app.display_name,
                       scope == RootScope::UserOnly ? "User" : "Machine", join(codes, ", "), log_path),
                place::kUninstallMsiStillPresent);
  }
  return removed;
}

}  // namespace yoxa
