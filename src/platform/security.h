#pragma once

namespace yoxa::platform {

// Whether the process token is elevated (TokenElevation). Any failure to ask: false.
// POSIX stand-in: effective uid 0.
bool is_elevated();

// Whether the process token's user is the LocalSystem account. Any failure to ask: false.
// POSIX stand-in: never.
bool is_local_system();

}  // namespace yoxa::platform
