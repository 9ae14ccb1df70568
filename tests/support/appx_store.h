// Where the PowerShell stand-in records MSIX deployments, at the places Windows keeps them and
// the engine's detection reads: the current user's registrations as subkeys (package full
// names) of the HKCU AppModel repository key "Packages" (kUserPackages in appx_store.cpp) with a
// PackageRootFolder value (the folder is created, holding the manifest), and the provisioned
// packages as subkeys of the HKLM AppxAllUserStore key "Applications" (kProvisioned).
// Windows only; elsewhere every operation fails.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "appx_package.h"

namespace appx {

// One recorded package, its fields taken from its full name.
struct Installed {
  std::string full_name;
  std::string name;
  std::string version;
  std::string architecture;
  std::string publisher_id;
  std::string root_folder;  // empty for provisioned entries

  std::string family_name() const { return name + "_" + publisher_id; }
};

// Splits a full name "Name_Version_Arch_ResourceId_PublisherId"; none for other key names.
std::optional<Installed> parse_full_name(const std::string& full_name);

enum class Store { User, Provisioned };

// The packages recorded in a store, in the registry's enumeration order; none when it cannot be read.
std::optional<std::vector<Installed>> list(Store store);
// Records a package (for the user: also its root folder with the manifest); the error text or none.
std::optional<std::string> record(Store store, const Identity& identity, const std::string& package_path);
// Removes a package's record (for the user: also its root folder); the error text or none.
std::optional<std::string> remove(Store store, const std::string& full_name);

}  // namespace appx
