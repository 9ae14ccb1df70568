#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
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

// The signer alone (kExpectedSigner, with verify_package's attempts), then the checksum only
// when `expected` holds one: what an elevated process asks of an offline package, whose
// manifest may carry no digest. Success is remembered as for verify_package.
Result<void> verify_signed_package(const std::string& path, const std::optional<std::string>& expected);
Result<void> verify_signed_package(const std::string& path, const std::optional<std::string>& expected,
                                   platform::TrustVerifier& trust, const ScriptRunner& run, const Pause& sleep);

// The signer of a file this process holds open (kExpectedSigner), through that handle:
// the engine's own image, whose signature covers the payloads appended to it.
Result<void> verify_open_file_signer(std::FILE* file, const std::string& path);
Result<void> verify_open_file_signer(std::FILE* file, const std::string& path, platform::TrustVerifier& trust,
                                     const Pause& sleep);

// Any signer Windows trusts (embedded signature or a system catalog), one attempt: what a
// chained runtime installer from the platform's vendor must carry before an elevated
// process starts it. The signer's name, or the failure as a verification error.
Result<std::string> verify_trusted_signer(const std::string& path);
Result<std::string> verify_trusted_signer(const std::string& path, platform::TrustVerifier& trust);

// Whether `path` passed verify_package or verify_signed_package in this process: the
// packages whose signing chain the MSIX installer may add to the machine's trusted roots.
bool passed_package_verification(const std::string& path);

}  // namespace yoxa
