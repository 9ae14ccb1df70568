#pragma once
#include <optional>

#include "core/retirement.h"

namespace yoxa {

// Whether this process installs from an offline package source.
bool offline_mode();

// Whether this installer is retired right now, from its expiry dates and any
// source-unavailable finding of this process.
std::optional<Retirement> current_retirement();

}  // namespace yoxa
