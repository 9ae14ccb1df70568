#include "appx_trust.h"

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>

#include <memory>

#include "wide_text.h"
#endif

namespace appx {

#ifdef _WIN32

namespace {

using standin::widen;

std::string failed(const char* call) { return std::string(call) + " failed (os error " + std::to_string(GetLastError()) + ")"; }

struct StoreCloser {
  void operator()(void* store) const { CertCloseStore(static_cast<HCERTSTORE>(store), 0); }
};
struct MessageCloser {
  void operator()(void* message) const { CryptMsgClose(message); }
};
struct CertificateFree {
  void operator()(const CERT_CONTEXT* certificate) const { CertFreeCertificateContext(certificate); }
};
struct ChainFree {
  void operator()(const CERT_CHAIN_CONTEXT* chain) const { CertFreeCertificateChain(chain); }
};

}  // namespace

std::optional<std::string> trust_signing_root(const std::string& path) {
  const std::wstring wide = widen(path);
  HCERTSTORE raw_store = nullptr;
  HCRYPTMSG raw_message = nullptr;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, wide.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                        CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &raw_store, &raw_message, nullptr)) {
    return std::nullopt;  // no signature: $cert is $null and the script does nothing
  }
  std::unique_ptr<void, StoreCloser> store(raw_store);
  std::unique_ptr<void, MessageCloser> message(raw_message);
  DWORD size = 0;
  if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size)) return failed("CryptMsgGetParam");
  auto info = std::make_unique<unsigned char[]>(size);
  if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, info.get(), &size)) return failed("CryptMsgGetParam");
  std::unique_ptr<const CERT_CONTEXT, CertificateFree> signer(
      CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT,
                                 info.get(), nullptr));
  if (!signer) return failed("CertFindCertificateInStore");
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof parameters;
  const CERT_CHAIN_CONTEXT* raw_chain = nullptr;
  if (!CertGetCertificateChain(nullptr, signer.get(), nullptr, store.get(), &parameters, 0, nullptr, &raw_chain))
    return failed("CertGetCertificateChain");
  std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree> chain(raw_chain);
  if (chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) return std::string("the chain is empty");
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  const CERT_CONTEXT* root = simple->rgpElement[simple->cElement - 1]->pCertContext;
  std::unique_ptr<void, StoreCloser> machine_root(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
  if (!machine_root) return failed("CertOpenStore");
  if (!CertAddCertificateContextToStore(machine_root.get(), root, CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
    return failed("CertAddCertificateContextToStore");
  return std::nullopt;
}

#else

std::optional<std::string> trust_signing_root(const std::string&) {
  return std::string("certificate stores are available only on Windows");
}

#endif

}  // namespace appx
