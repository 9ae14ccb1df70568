#pragma once
// The machine-wide AppX policy values that let signed packages from outside the Store
// install. Needs administrator rights; never fails the caller, only logs.
#include "platform/registry.h"

namespace yoxa {

inline constexpr const char* kAppxPolicyKey = "SOFTWARE\\Policies\\Microsoft\\Windows\\Appx";

void ensure_sideloading_policy(platform::Registry& registry);

}  // namespace yoxa
