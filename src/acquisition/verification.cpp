#include "acquisition/verification.h"

#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <variant>

#include "acquisition/verified_files.h"
#include "core/messages.h"
#include "core/places.h"
#include "core/text.h"
#include "core/unicode_case.h"
#include "system/command_runner.h"
#include "system/detection.h"
#include "core/log.h"

namespace yoxa {

namespace {


constexpr int kAttempts = 3;

// 5 s after the first failed attempt, 10 s after the second; none after the last.
void wait_after(int attempt, const Pause& sleep) {
  if (attempt < kAttempts) sleep(std::chrono::seconds(5LL << (attempt - 1)));
}

constexpr const char* kNoSignatureText = "The binary file didn't have any signature";
constexpr const char* kMalformedPathText = "The provided path was malformed";

std::string os_error_text(std::uint32_t status) {
  return format("OS Error: {}", static_cast<std::int32_t>(status));
}

// One signature attempt: the signer's name, or why the attempt failed.
struct SignatureFailure {
  std::string text;  // the failure kind's text
  bool path_unusable = false;
};
using SignatureAttempt = std::variant<std::string, SignatureFailure>;

// The embedded-signature check of one attempt: by path, or through a held handle.
using FileCheck = std::function<platform::TrustCheck()>;

SignatureAttempt check_signature(const std::string& path, platform::TrustVerifier& trust, const FileCheck& file_check) {
  using Outcome = platform::TrustCheck::Outcome;
  platform::TrustCheck check = file_check();
  // Not signed inside the file: a system catalog may list it.
  if (check.outcome == Outcome::Failed && check.status == platform::kTrustNoSignature) {
    check = trust.verify_catalog(path);
  }
  switch (check.outcome) {
    case Outcome::Trusted: return std::move(check.signer);
    case Outcome::MalformedPath: return SignatureFailure{kMalformedPathText, true};
    case Outcome::NotInCatalog: return SignatureFailure{kNoSignatureText};
    case Outcome::Failed: break;
  }
  return SignatureFailure{os_error_text(check.status)};
}

// The signature step of verify_package, with its three attempts.
Result<void> verify_signature(const std::string& path, platform::TrustVerifier& trust, const Pause& sleep,
                              const FileCheck& file_check) {
  std::string last_detail;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    SignatureAttempt outcome = check_signature(path, trust, file_check);
    if (const auto* signer = std::get_if<std::string>(&outcome)) {
      if (*signer == kExpectedSigner) return {};
      log::error(format("Signature verification failed: unexpected common name '{}'", *signer));
      return fail(msg::kVerificationFailed, "Signature verification failed: common name mismatch", place::kVerifySignerMismatch);
    }
    const auto& failure = std::get<SignatureFailure>(outcome);
    if (failure.path_unusable) {
      last_detail = format("Signature validation failed: {}", failure.text);
      log::warn(format("Attempt {} to verify signature failed (2): {}", attempt, failure.text));
    } else {
      last_detail = format("Signature verification failed: {}", failure.text);
      log::warn(format("Attempt {} to verify signature failed (1): {}", attempt, failure.text));
    }
    wait_after(attempt, sleep);
  }
  return fail(msg::kVerificationFailed, last_detail, place::kVerifySignatureFailed);
}

Result<void> verify_signature(const std::string& path, platform::TrustVerifier& trust, const Pause& sleep) {
  return verify_signature(path, trust, sleep, [&] { return trust.verify_file(path); });
}

// Paths that passed the signer (and any checksum) in this process.
std::mutex verified_mutex;
std::set<std::string>& verified_paths() {
  static std::set<std::string> paths;
  return paths;
}

void remember_verified(const std::string& path) {
  const std::lock_guard lock(verified_mutex);
  verified_paths().insert(path);
}

// The checksum step shared by both operations.
Result<void> compare_checksum(const std::string& path, const std::string& expected, const ScriptRunner& run,
                              const Pause& sleep) {
  const std::string script = checksum_script(path);
  const std::string wanted = unicode_upper(expected);  // nothing trimmed: a stray space never matches
  std::optional<std::string> output;
  std::string last_error;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    auto result = run(script, kHashLimitSeconds);
    if (result) {
      output = std::move(*result);
      break;
    }
    last_error = result.error().message();
    log::warn(format("Attempt {} to compute checksum failed: {}", attempt, last_error));
    wait_after(attempt, sleep);
  }
  if (!output) return fail(msg::kVerificationFailed, last_error, place::kVerifyChecksumCommand);

  const std::string computed = unicode_upper(*output);
  if (computed != wanted) {
    return fail(msg::kVerificationFailed, format("Checksum mismatch: got {} vs {}", computed, wanted),
                place::kVerifyChecksumMismatch);
  }
  log::info("Checksum verification passed");
  return {};
}

Result<std::string> run_system_powershell(const std::string& script, std::uint32_t limit_seconds) {
  return run_powershell(script, limit_seconds);
}

}  // namespace

std::string checksum_script(const std::string& path) {
  return format(
      "Microsoft.PowerShell.Utility\\Get-FileHash -LiteralPath '{}' -Algorithm SHA256 | "
      "Microsoft.PowerShell.Utility\\Select-Object -ExpandProperty Hash",
      powershell_quote(utf8_lossy(path)));
}

Result<void> verify_checksum(const std::string& path, const std::string& expected, const ScriptRunner& run,
                             const Pause& sleep) {
  if (auto checked = compare_checksum(path, expected, run, sleep); !checked) return checked;
  log::info("Installer verification completed (checksum only)");
  return {};
}

// The file is held deny-write before the first check and stays held when it passes
// (until its installer has exited); one that fails is let go for the caller to delete.
namespace {
template <class Check>
Result<void> verify_held(const std::string& path, Check&& check) {
  if (auto held = verified_file_holds().hold(path); !held) return held;
  auto verified = check();
  if (!verified) verified_file_holds().release(path);
  return verified;
}
}  // namespace

Result<void> verify_checksum(const std::string& path, const std::string& expected) {
  return verify_held(path, [&] { return verify_checksum(path, expected, run_system_powershell, real_pause); });
}

Result<void> verify_package(const std::string& path, const std::string& expected, platform::TrustVerifier& trust,
                            const ScriptRunner& run, const Pause& sleep) {
  if (auto signed_ok = verify_signature(path, trust, sleep); !signed_ok) return signed_ok;
  if (auto checked = compare_checksum(path, expected, run, sleep); !checked) return checked;
  log::info("Installer verification completed");
  remember_verified(path);
  return {};
}

Result<void> verify_package(const std::string& path, const std::string& expected) {
  return verify_held(path, [&] {
    return verify_package(path, expected, platform::system_trust_verifier(), run_system_powershell, real_pause);
  });
}

Result<void> verify_signed_package(const std::string& path, const std::optional<std::string>& expected,
                                   platform::TrustVerifier& trust, const ScriptRunner& run, const Pause& sleep) {
  if (auto signed_ok = verify_signature(path, trust, sleep); !signed_ok) return signed_ok;
  if (expected) {
    if (auto checked = compare_checksum(path, *expected, run, sleep); !checked) return checked;
  }
  log::info("Installer verification completed");
  remember_verified(path);
  return {};
}

Result<void> verify_signed_package(const std::string& path, const std::optional<std::string>& expected) {
  return verify_signed_package(path, expected, platform::system_trust_verifier(), run_system_powershell, real_pause);
}

Result<void> verify_open_file_signer(std::FILE* file, const std::string& path, platform::TrustVerifier& trust,
                                     const Pause& sleep) {
  return verify_signature(path, trust, sleep, [&] { return trust.verify_open_file(file, path); });
}

Result<void> verify_open_file_signer(std::FILE* file, const std::string& path) {
  return verify_open_file_signer(file, path, platform::system_trust_verifier(), real_pause);
}

Result<std::string> verify_trusted_signer(const std::string& path, platform::TrustVerifier& trust) {
  SignatureAttempt outcome = check_signature(path, trust, [&] { return trust.verify_file(path); });
  if (auto* signer = std::get_if<std::string>(&outcome)) return std::move(*signer);
  return fail(msg::kVerificationFailed,
              format("Signature verification failed: {}", std::get<SignatureFailure>(outcome).text),
              place::kVerifyUntrustedRuntime);
}

Result<std::string> verify_trusted_signer(const std::string& path) {
  return verify_trusted_signer(path, platform::system_trust_verifier());
}

bool passed_package_verification(const std::string& path) {
  const std::lock_guard lock(verified_mutex);
  return verified_paths().contains(path);
}

}  // namespace yoxa
