#pragma once
// One installer per installer kind, all with one signature, chosen by the app's kind.
#include <cstdint>
#include <functional>
#include <string>

#include "acquisition/package_provider.h"
#include "core/app_table.h"
#include "core/error.h"
#include "install/run_context.h"

namespace yoxa {

// What every installer answers: success, the user cancelled it, or an error carrying one
// of the fixed user sentences.
enum class InstallerStatus : std::uint8_t { Succeeded, Cancelled };
using InstallerOutcome = Result<InstallerStatus>;

struct InstallRequest {
  const AppDescriptor& app;
  std::string package_path;  // staged and verified
  bool machine = false;      // the run's scope, or the app is machine-only
  const PreparedDependencies& dependencies;
};

using Installer = std::function<InstallerOutcome(const RunContext& run, const InstallRequest& request)>;

struct Installers {
  Installer msi;
  Installer msix;
  Installer exe;
  const Installer& for_kind(InstallerKind kind) const;
};

// The installers this build has; kinds it does not have yet fail the app.
Installers system_installers();

}  // namespace yoxa
