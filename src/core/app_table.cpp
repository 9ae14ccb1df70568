#include "core/app_table.h"

#include <array>

namespace yoxa {

namespace {
constexpr std::uint64_t kMiB = 1024ull * 1024ull;

// The per-app identifiers are a contract with the published packages (docs/app-identifiers.md).
constexpr std::array<AppDescriptor, 4> kAppTable = {{
    {"quill", "Yoxa Quill", "10", "C3A2B1F6E5D406F41827394A5B6C7D8E", "Yoxa Quill", "", "msi", "YoxaQuill",
     600 * kMiB, InstallerKind::Msi, false, false},
    {"abacus", "Yoxa Abacus", "20", "", "", "YoxaCorporation.YoxaAbacus_v4x2s8k1qa0mt", "msix", "YoxaAbacus",
     400 * kMiB, InstallerKind::Msix, false, false},
    {"lumen", "Yoxa Lumen", "30", "", "", "YoxaCorporation.YoxaLumen_v4x2s8k1qa0mt", "msixbundle", "YoxaLumen",
     400 * kMiB, InstallerKind::Msix, false, false},
    {"folio", "Yoxa Folio", "40", "D5C6B7A8F3E4B2A4C9D1E0F1A2B3C4D5", "Yoxa Folio", "", "msi", "YoxaFolio",
     500 * kMiB, InstallerKind::Msi, true, false},
}};
}  // namespace

std::span<const AppDescriptor> app_table() { return kAppTable; }

const AppDescriptor* app_by_id(std::string_view id) {
  for (const auto& app : kAppTable) {
    if (app.id == id) return &app;
  }
  return nullptr;
}

}  // namespace yoxa
