// The Authenticode stand-in of the native build: no file carries a signature and
// no catalog lists one, as for an unsigned file on Windows. A path holding a NUL
// is refused as Windows refuses it (it cannot become a NUL-terminated string).
#include "platform/trust.h"

namespace yoxa::platform {

namespace {

class NoSignatureVerifier final : public TrustVerifier {
 public:
  TrustCheck verify_file(const std::string& path) override {
    if (path.find('\0') != std::string::npos) return TrustCheck::malformed_path();
    return TrustCheck::failed(kTrustNoSignature);
  }
  TrustCheck verify_catalog(const std::string& path) override {
    if (path.find('\0') != std::string::npos) return TrustCheck::malformed_path();
    return TrustCheck::not_in_catalog();
  }
};

}  // namespace

TrustVerifier& system_trust_verifier() {
  static NoSignatureVerifier verifier;
  return verifier;
}

}  // namespace yoxa::platform
