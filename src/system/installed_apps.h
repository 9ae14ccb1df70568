#pragma once
// What a run asks about the apps already on the machine. The machine's answers come from
// detection over a DetectionContext; tests answer from memory.
#include <optional>
#include <string>
#include <string_view>

#include "core/app_table.h"
#include "core/error.h"
#include "system/detection.h"

namespace yoxa {

class InstalledApps {
 public:
  virtual ~InstalledApps() = default;
  virtual bool installed_machine_wide(const AppDescriptor& app) const = 0;
  virtual std::optional<std::string> msix_installed_version(std::string_view family_name) const = 0;
  [[nodiscard]] virtual Result<std::optional<InstalledProduct>> find_by_upgrade_code(
      std::string_view packed_code) const = 0;
  virtual std::optional<InstalledProduct> find_by_product_name(std::string_view product_name) const = 0;
  virtual std::optional<std::string> installed_path(const AppDescriptor& app) const = 0;
  virtual std::optional<std::string> installed_version(const AppDescriptor& app) const = 0;
};

// Detection over one context; the registry lookups search the roots of `scope`.
class DetectedApps final : public InstalledApps {
 public:
  explicit DetectedApps(const DetectionContext& context, RootScope scope = RootScope::Any)
      : context_(context), scope_(scope) {}

  bool installed_machine_wide(const AppDescriptor& app) const override;
  std::optional<std::string> msix_installed_version(std::string_view family_name) const override;
  Result<std::optional<InstalledProduct>> find_by_upgrade_code(std::string_view packed_code) const override;
  std::optional<InstalledProduct> find_by_product_name(std::string_view product_name) const override;
  std::optional<std::string> installed_path(const AppDescriptor& app) const override;
  std::optional<std::string> installed_version(const AppDescriptor& app) const override;

 private:
  const DetectionContext& context_;
  RootScope scope_;
};

// The machine, seen from any scope.
const InstalledApps& machine_installed_apps();

}  // namespace yoxa
