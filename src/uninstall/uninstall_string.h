#pragma once
// Removes an app through the uninstall command it registered, then trusts only the
// registry: the entry has to disappear.
#include <chrono>

#include "core/app_table.h"
#include "install/run_context.h"
#include "system/detection.h"
#include "uninstall/uninstall_host.h"

namespace yoxa {

inline constexpr int kRedetectLookups = 30;
// A registered uninstaller still running after this long is taken for hung: ended and
// reported failed, and the run goes on. Generous: a large suite's removal takes minutes.
inline constexpr std::chrono::seconds kUninstallerTimeLimit = std::chrono::minutes(60);

// `all_hives`: the entry may live in any hive (machine-wide run), else only the user's.
RemovalOutcome uninstall_by_uninstall_string(const RunContext& run, const UninstallHost& host, const AppDescriptor& app,
                                             const InstalledProduct& entry, bool all_hives);

}  // namespace yoxa
