// ECDSA P-256 verification with BCrypt: SHA-256 of the message, then the raw r||s
// signature against an imported BCRYPT_ECCPUBLIC_BLOB (X and Y, big-endian).
#include "platform/signature.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/windows/handle.h"
#include "platform/windows/win.h"
#include <bcrypt.h>

namespace yoxa::platform {

namespace {

constexpr NTSTATUS kStatusInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);
constexpr ULONG kDigestBytes = 32;
constexpr ULONG kCoordinateBytes = 32;

struct AlgorithmTraits {
  using Raw = BCRYPT_ALG_HANDLE;
  static Raw none() { return nullptr; }
  static bool valid(Raw raw) { return raw != nullptr; }
  static void close(Raw raw) { BCryptCloseAlgorithmProvider(raw, 0); }
};
struct KeyTraits {
  using Raw = BCRYPT_KEY_HANDLE;
  static Raw none() { return nullptr; }
  static bool valid(Raw raw) { return raw != nullptr; }
  static void close(Raw raw) { BCryptDestroyKey(raw); }
};

OsError status_error(const char* call, NTSTATUS status) {
  const auto code = static_cast<std::uint32_t>(status);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  return {code, std::string(call) + " failed with status " + hex + " (os error " + std::to_string(code) + ")"};
}

PUCHAR bytes(std::string_view text) { return reinterpret_cast<PUCHAR>(const_cast<char*>(text.data())); }

}  // namespace

std::expected<bool, OsError> detail::verify_p256_sha256_sized(std::string_view public_key, std::string_view message,
                                                              std::string_view signature) {
  if (message.size() > 0xFFFFFFFFu) return false;

  win::Unique<AlgorithmTraits> sha;
  NTSTATUS status = BCryptOpenAlgorithmProvider(sha.out(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (!BCRYPT_SUCCESS(status)) return std::unexpected(status_error("BCryptOpenAlgorithmProvider(SHA256)", status));
  UCHAR digest[kDigestBytes] = {};
  status = BCryptHash(sha.get(), nullptr, 0, bytes(message), static_cast<ULONG>(message.size()), digest,
                      kDigestBytes);
  if (!BCRYPT_SUCCESS(status)) return std::unexpected(status_error("BCryptHash", status));

  win::Unique<AlgorithmTraits> ecdsa;
  status = BCryptOpenAlgorithmProvider(ecdsa.out(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
  if (!BCRYPT_SUCCESS(status)) return std::unexpected(status_error("BCryptOpenAlgorithmProvider(ECDSA_P256)", status));
  std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinateBytes);
  const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinateBytes};
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, public_key.data() + 1, 2 * kCoordinateBytes);
  win::Unique<KeyTraits> key;
  status = BCryptImportKeyPair(ecdsa.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.out(), blob.data(),
                               static_cast<ULONG>(blob.size()), 0);
  if (!BCRYPT_SUCCESS(status)) return std::unexpected(status_error("BCryptImportKeyPair", status));

  status = BCryptVerifySignature(key.get(), nullptr, digest, kDigestBytes, bytes(signature),
                                 static_cast<ULONG>(signature.size()), 0);
  if (BCRYPT_SUCCESS(status)) return true;
  if (status == kStatusInvalidSignature) return false;
  return std::unexpected(status_error("BCryptVerifySignature", status));
}

}  // namespace yoxa::platform
