#pragma once

namespace yoxa::platform {

// Whether the process token is elevated (TokenElevation). POSIX stand-in: effective uid 0.
bool is_elevated();

}  // namespace yoxa::platform
