#pragma once
// Removes an MSI product by its product code with msiexec /x.
#include <optional>
#include <string>
#include <string_view>

#include "core/app_table.h"
#include "install/run_context.h"
#include "system/detection.h"
#include "uninstall/uninstall_host.h"

namespace yoxa {

// <log dir>\uninstall-<id>.log; none when the directory is not valid UTF-8.
std::optional<std::string> uninstall_log_path(const std::string& log_dir, std::string_view app_id);

RemovalOutcome uninstall_msi(const AppDescriptor& app, std::string_view product_code, const std::string& log_dir,
                             const UninstallHost& host);

// uninstall_msi, then every product under the app's upgrade code in `scope` must be gone.
RemovalOutcome uninstall_msi_confirmed(const RunContext& run, const UninstallHost& host, const AppDescriptor& app,
                                       std::string_view product_code, RootScope scope);

}  // namespace yoxa
