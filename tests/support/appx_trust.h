// What the engine's signing-certificate script does on Windows: take the signer certificate of
// a package's embedded signature, build its chain without revocation checks and add the last
// certificate of the chain to the machine's Root store.
#pragma once

#include <optional>
#include <string>

namespace appx {

// The error text, or none when the root was added or the file carries no signature (the
// script then does nothing).
std::optional<std::string> trust_signing_root(const std::string& path);

}  // namespace appx
