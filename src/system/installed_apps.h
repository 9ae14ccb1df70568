#pragma once
// What a run asks about the apps already on the machine. The machine's answers come from
// detection over a DetectionContext; tests answer from memory.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

  // Lookups over one root list, for callers that must tell the user's install from the
  // machine's (uninstall). A view that does not model scopes answers from its own lookups.
  [[nodiscard]] virtual Result<std::optional<InstalledProduct>> find_by_upgrade_code_in(
      std::string_view packed_code, RootScope /*scope*/) const {
    return find_by_upgrade_code(packed_code);
  }
  virtual std::optional<InstalledProduct> find_by_product_name_in(std::string_view product_name,
                                                                  RootScope /*scope*/) const {
    return find_by_product_name(product_name);
  }
  virtual bool msix_provisioned(std::string_view /*family_name*/) const { return false; }
  // The checks after a removal, where a failure to read must not pass for "gone".
  [[nodiscard]] virtual Result<std::vector<InstalledProduct>> products_by_upgrade_code_in(std::string_view packed_code,
                                                                                        RootScope scope) const {
    auto found = find_by_upgrade_code_in(packed_code, scope);
    if (!found) return std::unexpected(found.error());
    if (!*found) return std::vector<InstalledProduct>{};
    return std::vector<InstalledProduct>{std::move(**found)};
  }
  [[nodiscard]] virtual Result<bool> product_name_registered_in(std::string_view product_name, RootScope scope) const {
    return find_by_product_name_in(product_name, scope).has_value();
  }
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
  Result<std::optional<InstalledProduct>> find_by_upgrade_code_in(std::string_view packed_code,
                                                                  RootScope scope) const override;
  std::optional<InstalledProduct> find_by_product_name_in(std::string_view product_name,
                                                          RootScope scope) const override;
  bool msix_provisioned(std::string_view family_name) const override;
  Result<std::vector<InstalledProduct>> products_by_upgrade_code_in(std::string_view packed_code,
                                                                    RootScope scope) const override;
  Result<bool> product_name_registered_in(std::string_view product_name, RootScope scope) const override;

 private:
  const DetectionContext& context_;
  RootScope scope_;
};

// The machine, seen from any scope.
const InstalledApps& machine_installed_apps();

}  // namespace yoxa
