#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace yoxa {

enum class InstallerKind : std::uint8_t { Msi, Msix, Exe };

// One app of the suite with every Windows-side fact the engine needs about it.
// Row order is the processing order of every run.
struct AppDescriptor {
  std::string_view id;
  std::string_view display_name;
  std::string_view code;
  std::string_view upgrade_code;  // packed MSI upgrade code; empty when not MSI
  std::string_view product_name;  // uninstall-entry display name; empty when not MSI
  std::string_view family_name;   // MSIX package family name; empty when not MSIX
  std::string_view format;        // "msi", "msix" or "msixbundle"
  std::string_view process_name;  // running executable, without ".exe"
  std::uint64_t required_bytes;
  InstallerKind installer_kind;
  bool machine_only;
  bool universal_arch;
};

std::span<const AppDescriptor> app_table();
const AppDescriptor* app_by_id(std::string_view id);

}  // namespace yoxa
