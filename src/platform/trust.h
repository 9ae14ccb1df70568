#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

namespace yoxa::platform {

// WinVerifyTrust status codes the engine acts on (HRESULTs as unsigned 32-bit).
inline constexpr std::uint32_t kTrustNoSignature = 0x800B0100u;   // TRUST_E_NOSIGNATURE
inline constexpr std::uint32_t kTrustNoSignerCert = 0x80096002u;  // TRUST_E_NO_SIGNER_CERT

// The outcome of one Authenticode check.
struct TrustCheck {
  enum class Outcome : std::uint8_t {
    Trusted,        // the signature verified; `signer` holds the signer's common name
    Failed,         // a Windows call failed; `status` holds the thread's last error after it
    NotInCatalog,   // (catalog check only) no system catalog lists the file's hash
    MalformedPath,  // the path cannot be a NUL-terminated UTF-16 string (it holds a NUL)
  };
  Outcome outcome = Outcome::Failed;
  std::uint32_t status = 0;  // Failed: the status or error code; 0 otherwise
  std::string signer;        // Trusted: the subject common name of the signing certificate, "N/A" when empty

  static TrustCheck trusted(std::string signer) { return {Outcome::Trusted, 0, std::move(signer)}; }
  static TrustCheck failed(std::uint32_t status) { return {Outcome::Failed, status, {}}; }
  static TrustCheck not_in_catalog() { return {Outcome::NotInCatalog, 0, {}}; }
  static TrustCheck malformed_path() { return {Outcome::MalformedPath, 0, {}}; }
};

// Authenticode verification of a file, without user interface or revocation checks
// (WINTRUST_ACTION_GENERIC_VERIFY_V2). Each call verifies afresh and releases
// everything it opened, the WinVerifyTrust state included, before it returns.
class TrustVerifier {
 public:
  virtual ~TrustVerifier() = default;
  // The signature embedded in the file (WTD_CHOICE_FILE, provider flags 0x3022).
  // An unsigned file gives Failed with kTrustNoSignature.
  virtual TrustCheck verify_file(const std::string& path) = 0;
  // A system catalog that lists the file's SHA-256 hash (WTD_CHOICE_CATALOG,
  // provider flags 0x1400); NotInCatalog when none does.
  virtual TrustCheck verify_catalog(const std::string& path) = 0;
  // The embedded signature of a file this process holds open (WTD_CHOICE_FILE with the
  // handle), so that the bytes verified are the bytes later read through it. `path`
  // names it for Windows. The default verifies by path.
  virtual TrustCheck verify_open_file(std::FILE* file, const std::string& path) {
    (void)file;
    return verify_file(path);
  }
};

// WinVerifyTrust and the catalog database on Windows; the POSIX stand-in finds no
// embedded signature (kTrustNoSignature) and no catalog.
TrustVerifier& system_trust_verifier();

}  // namespace yoxa::platform
