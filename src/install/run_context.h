#pragma once
// What every step of an install or uninstall run shares: the run's settings, where its
// events go, whether it has been cancelled, how it waits, and what is installed.
#include <string>
#include <vector>

#include "core/cancel_token.h"
#include "core/event_sink.h"
#include "core/pause.h"
#include "system/installed_apps.h"

namespace yoxa {

struct RunSettings {
  std::vector<std::string> app_ids;
  bool machine = false;      // the run's scope is machine
  std::string staging_base;  // config_base_dir of the run's scope (machine when privileged)
  bool privileged = false;   // elevated or LocalSystem: stages in the machine base whatever the scope
  std::string log_dir;       // where installers write their logs
};

struct RunContext {
  RunSettings settings;
  EventSink sink;
  CancelToken cancel;
  Pause pause = real_pause;
  const InstalledApps* installed = &machine_installed_apps();
};

}  // namespace yoxa
