#include "acquisition/signed_meta.h"

#include "acquisition/release_claims.h"
#include "core/log.h"
#include "core/messages.h"
#include "core/places.h"
#include "core/text.h"
#include "platform/signature.h"

namespace yoxa {

namespace {

std::unexpected<Error> refuse(const std::string& url, const std::string& reason, std::uint32_t place) {
  return fail(msg::kCouldNotContactServer, format("{} refused: {}", url, reason), place);
}

// Which configured key signed the text; the reason when none did.
std::expected<std::size_t, std::string> signing_key(const InstallerConfig& config, std::string_view text,
                                                    std::string_view signature) {
  std::string problems;
  for (std::size_t i = 0; i < config.meta_signing_keys.size(); ++i) {
    auto valid = platform::verify_p256_sha256(config.meta_signing_keys[i], text, signature);
    if (valid && *valid) return i;
    if (!valid) problems += format("; key {}: {}", i + 1, valid.error().text);
  }
  if (config.meta_signing_keys.empty()) {
    return std::unexpected(format("none of the {} configured signing keys is a usable P-256 public key",
                                  config.unusable_meta_signing_keys));
  }
  return std::unexpected(format("its signature does not verify with any of the {} configured signing keys{}",
                                config.meta_signing_keys.size(), problems));
}

}  // namespace

MetaSigningContext system_meta_signing() {
  return {system_release_sequence_store(), [] { return std::chrono::system_clock::now(); }};
}

Result<void> accept_signed_meta(const InstallerConfig& config, std::string_view app_id, const std::string& url,
                                std::string_view text, std::string_view signature_text,
                                const MetaSigningContext& context) {
  const auto signature = decode_meta_signature(signature_text);
  if (!signature) {
    return refuse(url, "meta.json.sig is not the base64 of a 64-byte P-256 signature (r||s)",
                  place::kCdnSignatureMalformed);
  }
  const auto key = signing_key(config, text, *signature);
  if (!key) return refuse(url, key.error(), place::kCdnSignatureInvalid);

  const auto claims = read_release_claims(text);
  if (!claims) return refuse(url, format("signed, but {}", claims.error()), place::kCdnClaimsUnreadable);
  if (claims->app != app_id) {
    return refuse(url, format("it is signed for app '{}', not '{}'", claims->app, app_id), place::kCdnOtherApp);
  }
  if (context.now() >= claims->expires) {
    return refuse(url, format("it expired at {}", claims->expires_text), place::kCdnMetaExpired);
  }
  const std::string name = release_sequence_name(config.flavour, config.cdn_release, std::string(app_id));
  const auto floor = context.store.highest(name);
  if (!floor) return refuse(url, format("the accepted sequence is unknown: {}", floor.error()), place::kCdnSequenceStore);
  if (claims->sequence < *floor) {
    return refuse(url,
                  format("its sequence {} is lower than {}, already accepted on this machine (a replayed older "
                         "release)",
                         claims->sequence, *floor),
                  place::kCdnRolledBack);
  }
  log::info(format("{} is signed by configured key {} for '{}', sequence {}, expires {}", url, *key + 1, claims->app,
                   claims->sequence, claims->expires_text));
  if (claims->sequence > *floor) {
    // The document is sound either way; only the next replay check is weaker.
    if (auto raised = context.store.raise(name, claims->sequence); !raised) log::warn(raised.error());
  }
  return {};
}

}  // namespace yoxa
