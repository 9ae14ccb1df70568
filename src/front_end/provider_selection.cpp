#include "front_end/provider_selection.h"

#include "acquisition/directory_provider.h"
#include "acquisition/online_provider.h"
#include "acquisition/sfx_provider.h"
#include "core/log.h"
#include "core/text.h"

namespace yoxa {

std::unique_ptr<PackageProvider> make_offline_provider(OfflineSource source, PackageHost host) {
  if (auto* payloads = std::get_if<SfxPayloads>(&source)) {
    return std::make_unique<SfxPackageProvider>(std::move(*payloads), std::move(host));
  }
  return std::make_unique<DirectoryAppProvider>(std::get<PackagesDirectory>(source).path, std::move(host));
}

std::unique_ptr<PackageProvider> offline_provider() {
  auto source = find_offline_source();
  if (!source) return nullptr;
  return make_offline_provider(std::move(*source));
}

std::unique_ptr<PackageProvider> select_provider() {
  auto source = find_offline_source();
  if (!source) return std::make_unique<OnlinePackageProvider>(PackageHost{});
  if (std::holds_alternative<SfxPayloads>(*source)) {
    log::info("embedded SFX packages found in engine exe; using SFX provider");
  } else {
    log::info(format("offline packages found at {}; using bundled provider", std::get<PackagesDirectory>(*source).path));
  }
  return make_offline_provider(std::move(*source));
}

}  // namespace yoxa
