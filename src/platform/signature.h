#pragma once
#include <cstddef>
#include <expected>
#include <string_view>

#include "platform/os_error.h"

namespace yoxa::platform {

// An ECDSA P-256 public key as the uncompressed X9.62 point: 0x04, X, Y (65 bytes).
inline constexpr std::size_t kP256PublicKeyBytes = 65;
// An ECDSA P-256 signature as r then s, each 32 big-endian bytes (what BCrypt takes;
// a DER signature must be converted first).
inline constexpr std::size_t kP256SignatureBytes = 64;

namespace detail {
// The crypto library's part (windows/, posix/), given a key and a signature of the
// right lengths and form.
std::expected<bool, OsError> verify_p256_sha256_sized(std::string_view public_key, std::string_view message,
                                                      std::string_view signature);
}  // namespace detail

// Whether `signature` is a valid ECDSA P-256 signature over SHA-256 of exactly `message`
// by `public_key`. false: the signature does not verify (or has the wrong length); an
// error: the key is not a point of the curve, or the crypto library failed.
inline std::expected<bool, OsError> verify_p256_sha256(std::string_view public_key, std::string_view message,
                                                       std::string_view signature) {
  if (public_key.size() != kP256PublicKeyBytes || static_cast<unsigned char>(public_key[0]) != 0x04) {
    return std::unexpected(OsError{0, "the public key is not an uncompressed P-256 point (os error 0)"});
  }
  if (signature.size() != kP256SignatureBytes) return false;
  return detail::verify_p256_sha256_sized(public_key, message, signature);
}

}  // namespace yoxa::platform
