#pragma once
// Removes an MSIX app for the current user, or for all users together with its provisioning.
#include <string>
#include <string_view>

#include "core/app_table.h"
#include "install/run_context.h"
#include "uninstall/uninstall_host.h"

namespace yoxa {

inline constexpr std::uint32_t kMsixRemovalLimitSeconds = 300;

// The package name of a family name: the text before the first underscore.
std::string_view msix_package_name(std::string_view family_name);
std::string remove_for_user_script(std::string_view package_name, std::string_view family_name);
std::string remove_for_all_users_script(std::string_view package_name, std::string_view family_name);
std::string deprovision_script(std::string_view package_name);
// Prints the full name of the family's package when any account has it registered.
std::string all_users_query_script(std::string_view package_name, std::string_view family_name);

RemovalOutcome uninstall_msix(const RunContext& run, const UninstallHost& host, const AppDescriptor& app,
                              bool machine);

}  // namespace yoxa
