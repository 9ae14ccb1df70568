#pragma once
#include <optional>

#include "config/offline_source.h"
#include "core/retirement.h"

namespace yoxa {

// Whether this installer is retired right now, from its expiry dates and any
// source-unavailable finding of this process.
std::optional<Retirement> current_retirement();

}  // namespace yoxa
