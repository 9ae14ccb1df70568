#pragma once
// Removes an MSI or EXE app: the user's install in a per-user run, else the machine's.
#include "core/app_table.h"
#include "install/run_context.h"
#include "uninstall/uninstall_host.h"

namespace yoxa {

RemovalOutcome uninstall_registered(const RunContext& run, const UninstallHost& host, const AppDescriptor& app,
                                    bool machine);

}  // namespace yoxa
