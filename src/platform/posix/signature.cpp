// ECDSA P-256 verification with OpenSSL's EVP interface.
#include "platform/signature.h"

#include <memory>
#include <string>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

namespace yoxa::platform {

namespace {

template <auto Free>
struct Freer {
  template <class T>
  void operator()(T* pointer) const { Free(pointer); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, Freer<EVP_PKEY_CTX_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX_free>>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, Freer<ECDSA_SIG_free>>;
using ParamBuilder = std::unique_ptr<OSSL_PARAM_BLD, Freer<OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Freer<OSSL_PARAM_free>>;

const unsigned char* bytes(std::string_view text) { return reinterpret_cast<const unsigned char*>(text.data()); }

OsError openssl_error(const char* what) {
  const unsigned long code = ERR_get_error();
  char text[256] = "no detail";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return {static_cast<std::uint32_t>(code), std::string(what) + ": " + text + " (os error " +
                                                std::to_string(static_cast<std::uint32_t>(code)) + ")"};
}

std::expected<Pkey, OsError> import_public_key(std::string_view point) {
  ParamBuilder builder(OSSL_PARAM_BLD_new());
  if (!builder ||
      !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) ||
      !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size())) {
    return std::unexpected(openssl_error("building the key parameters"));
  }
  Params params(OSSL_PARAM_BLD_to_param(builder.get()));
  PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* raw = nullptr;
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return std::unexpected(openssl_error("importing the P-256 public key"));
  }
  return Pkey(raw);
}

// r||s to the DER form OpenSSL verifies.
std::expected<std::string, OsError> der_signature(std::string_view raw) {
  EcdsaSig sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(bytes(raw), 32, nullptr);
  BIGNUM* s = BN_bin2bn(bytes(raw) + 32, 32, nullptr);
  if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return std::unexpected(openssl_error("reading the signature"));
  }
  const int length = i2d_ECDSA_SIG(sig.get(), nullptr);
  if (length <= 0) return std::unexpected(openssl_error("encoding the signature"));
  std::string der(static_cast<std::size_t>(length), '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  i2d_ECDSA_SIG(sig.get(), &out);
  return der;
}

}  // namespace

std::expected<bool, OsError> detail::verify_p256_sha256_sized(std::string_view public_key, std::string_view message,
                                                              std::string_view signature) {
  auto key = import_public_key(public_key);
  if (!key) return std::unexpected(key.error());
  auto der = der_signature(signature);
  if (!der) return std::unexpected(der.error());
  DigestContext context(EVP_MD_CTX_new());
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key->get()) != 1) {
    return std::unexpected(openssl_error("starting the verification"));
  }
  const int verdict = EVP_DigestVerify(context.get(), bytes(*der), der->size(), bytes(message), message.size());
  // 0 is a signature that does not verify; a negative answer is a failure of the library,
  // but a malformed signature is reported that way too, so both count as not valid.
  ERR_clear_error();
  return verdict == 1;
}

}  // namespace yoxa::platform
