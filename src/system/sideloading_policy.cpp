#include "system/sideloading_policy.h"

#include "core/log.h"
#include "core/text.h"

namespace yoxa {

void ensure_sideloading_policy(platform::Registry& registry) {
  using platform::RegistryHive;
  using platform::RegistryView;
  if (auto key = registry.create_key(RegistryHive::LocalMachine, RegistryView::Bits64, kAppxPolicyKey); !key) {
    log::warn(format("Could not open AppX policy key to enable sideloading (install may be blocked by policy): {}",
                     key.error().text));
    return;
  }
  const auto set = [&](const char* name) {
    return registry.write_dword(RegistryHive::LocalMachine, RegistryView::Bits64, kAppxPolicyKey, name, 1);
  };
  const auto trusted_apps = set("AllowAllTrustedApps");
  const auto without_license = set("AllowDevelopmentWithoutDevLicense");
  if (!trusted_apps) log::warn(format("Could not set AllowAllTrustedApps: {}", trusted_apps.error().text));
  if (!without_license) {
    log::warn(format("Could not set AllowDevelopmentWithoutDevLicense: {}", without_license.error().text));
  }
  log::info("Ensured AppX sideloading policy is enabled");
}

}  // namespace yoxa
