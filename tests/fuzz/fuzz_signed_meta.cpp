// The signed-document reader: meta.json's signed members, RFC 3339 times, meta.json.sig,
// and the verifier given whatever key and signature bytes arrive.
#include <map>

#include "acquisition/release_claims.h"
#include "acquisition/signed_meta.h"
#include "fuzz_support.h"
#include "platform/signature.h"

namespace {
struct MemoryStore final : yoxa::ReleaseSequenceStore {
  std::map<std::string, std::uint64_t> values;
  std::expected<std::uint64_t, std::string> highest(const std::string& name) override { return values[name]; }
  std::expected<void, std::string> raise(const std::string& name, std::uint64_t sequence) override {
    values[name] = sequence;
    return {};
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = yoxa::fuzz::as_text(data, size);
  (void)yoxa::read_release_claims(text);
  (void)yoxa::parse_rfc3339(text);
  (void)yoxa::decode_meta_signature(text);

  // key (65 bytes) | signature (64 bytes) | message: the verifier on arbitrary points.
  if (text.size() >= 129) {
    (void)yoxa::platform::verify_p256_sha256(text.substr(0, 65), text.substr(129), text.substr(65, 64));
  }

  // A document and its signature file, split at the first NUL, against a configured key.
  static const yoxa::InstallerConfig config = yoxa::parse_installer_config(
      R"({"metaSigningKeys": ["BA+sY2cqmVxUD/ERMTCrJSpzCmA/5cCabsc68idt5UGQ3u6aUG9tBMvpUZTBdn7iRm5aosBZfbcH3R023ks3Jtw="]})");
  const std::size_t split = text.find('\0');
  if (split != std::string_view::npos) {
    MemoryStore store;
    const yoxa::MetaSigningContext context{store, [] { return std::chrono::system_clock::time_point(); }};
    (void)yoxa::accept_signed_meta(config, "quill", "u", text.substr(0, split), text.substr(split + 1), context);
  }
  return 0;
}
