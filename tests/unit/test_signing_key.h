#pragma once
// A fresh P-256 key for tests, signing the way the publisher does: raw r||s, base64.
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

#include "core/base64.h"

namespace yoxa::testing {

class TestSigningKey {
 public:
  TestSigningKey() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free) {
    if (!key_) throw std::runtime_error("P-256 key generation failed");
  }

  // The 65-byte uncompressed point.
  std::string public_point() const {
    unsigned char point[65];
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key_.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point, sizeof point,
                                        &length) != 1 || length != sizeof point) {
      throw std::runtime_error("no public point");
    }
    return std::string(reinterpret_cast<const char*>(point), length);
  }
  // The configuration's form of the public key ("metaSigningKeys" entry), padded.
  std::string public_text() const { return base64_encode_unpadded(public_point()) + "="; }

  // The raw 64-byte r||s signature of `message`.
  std::string sign_raw(std::string_view message) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::size_t length = 0;
    if (EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
      throw std::runtime_error("signing failed");
    }
    std::string der(length, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(der.data()), &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
      throw std::runtime_error("signing failed");
    }
    const auto* in = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(d2i_ECDSA_SIG(nullptr, &in, static_cast<long>(length)),
                                                             ECDSA_SIG_free);
    std::string raw(64, '\0');
    BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), reinterpret_cast<unsigned char*>(raw.data()), 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), reinterpret_cast<unsigned char*>(raw.data()) + 32, 32);
    return raw;
  }
  // The content of meta.json.sig for `message`.
  std::string signature_file(std::string_view message) const { return base64_encode_unpadded(sign_raw(message)) + "==\n"; }

 private:
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key_{nullptr, EVP_PKEY_free};
};

}  // namespace yoxa::testing
