#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "core/error.h"
#include "core/pause.h"
#include "system/command_runner.h"
#include "platform/trust.h"

namespace yoxa {

// Package verification: the Authenticode signer and the SHA-256 checksum
// of a package file before it is installed. Both operations block the calling thread
// for every attempt and every wait between attempts, and never delete or move the file.

// The subject common name every package must be signed by (case-sensitive, whole string).
inline constexpr const char* kExpectedSigner = "YOXA Corporation Private Limited";
// The time limit of one hash command, in seconds.
inline constexpr std::uint32_t kHashLimitSeconds = 300;


// The hash command for a file: Get-FileHash -LiteralPath '<path>' -Algorithm SHA256,
// printing only the upper-case hash.
std::string checksum_script(const std::string& path);

// SHA-256 only, for the packages the offline and self-extracting providers carry and
// for framework packages. `expected` is hexadecimal in any letter case; an empty one
// matches nothing. Fails with msg::kVerificationFailed and a detail naming what failed.
Result<void> verify_checksum(const std::string& path, const std::string& expected);
Result<void> verify_checksum(const std::string& path, const std::string& expected, const ScriptRunner& run,
                             const Pause& sleep);

// The signer (kExpectedSigner, embedded signature or a system catalog), then the
// SHA-256 checksum, for the packages the online provider downloads or finds staged.
Result<void> verify_package(const std::string& path, const std::string& expected);
Result<void> verify_package(const std::string& path, const std::string& expected, platform::TrustVerifier& trust,
                            const ScriptRunner& run, const Pause& sleep);

}  // namespace yoxa
