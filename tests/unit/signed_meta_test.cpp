#include "acquisition/signed_meta.h"

#include <gtest/gtest.h>

#include "acquisition/cdn.h"
#include "acquisition/release_claims.h"
#include "core/messages.h"
#include "core/places.h"
#include "fake_http.h"
#include "fake_registry.h"
#include "platform/signature.h"
#include "test_signing_key.h"

namespace yoxa {
namespace {

using platform::RegistryHive;
using platform::RegistryView;
using testing::FakeHttpClient;
using testing::FakeRegistry;
using testing::FakeReply;
using testing::TestSigningKey;
using namespace std::chrono;

const std::string kSeqName = "default/latest/quill";
const sys_seconds kNow = sys_days(2026y / December / 11) + 12h;

std::string meta_text(std::string_view app = "quill", std::string_view expires = "2026-12-18T12:00:00Z",
                      std::uint64_t sequence = 7) {
  return std::string(R"({"version": "1.4.2", "destination": "quill-1.4.2.msi", "app": ")") + std::string(app) +
         R"(", "expires": ")" + std::string(expires) + R"(", "sequence": )" + std::to_string(sequence) + "}";
}

InstallerConfig config_with_keys(const std::vector<std::string>& keys) {
  Json document = {{"flavour", "default"},
                   {"cdn", {{"dataCenter", "cn"}, {"domains", {{"cn", "https://dl.yoxa.example"}}}}},
                   {"trustedDownloadDomains", Json::array({"yoxa.example"})},
                   {"metaSigningKeys", keys}};
  return parse_installer_config(document.dump());
}

// A store that remembers in memory, with a chosen answer.
struct MemoryStore final : ReleaseSequenceStore {
  std::map<std::string, std::uint64_t> values;
  std::optional<std::string> read_error;
  std::expected<std::uint64_t, std::string> highest(const std::string& name) override {
    if (read_error) return std::unexpected(*read_error);
    return values.contains(name) ? values[name] : 0;
  }
  std::expected<void, std::string> raise(const std::string& name, std::uint64_t sequence) override {
    values[name] = sequence;
    return {};
  }
};

TEST(SignatureVerifier, ValidTamperedAndForeign) {
  const TestSigningKey key, other;
  const std::string message = meta_text();
  const std::string signature = key.sign_raw(message);
  EXPECT_EQ(platform::verify_p256_sha256(key.public_point(), message, signature), true);
  std::string edited = message;
  edited[10] ^= 1;
  EXPECT_EQ(platform::verify_p256_sha256(key.public_point(), edited, signature), false);
  EXPECT_EQ(platform::verify_p256_sha256(other.public_point(), message, signature), false);
  std::string flipped = signature;
  flipped[40] ^= 1;
  EXPECT_EQ(platform::verify_p256_sha256(key.public_point(), message, flipped), false);
  EXPECT_EQ(platform::verify_p256_sha256(key.public_point(), message, signature.substr(1)), false);
  EXPECT_EQ(platform::verify_p256_sha256(key.public_point(), message, std::string(64, '\0')), false);

  // A point off the curve, and something that is no point at all, are errors, not "invalid".
  std::string off_curve = key.public_point();
  off_curve[64] ^= 1;
  EXPECT_FALSE(platform::verify_p256_sha256(off_curve, message, signature).has_value());
  EXPECT_FALSE(platform::verify_p256_sha256(key.public_point().substr(1), message, signature).has_value());
}

TEST(ReleaseClaims, Rfc3339Times) {
  const struct {
    const char* text;
    std::optional<sys_seconds> expected;
  } cases[] = {
      {"2026-12-31T23:59:59Z", sys_days(2026y / December / 31) + 23h + 59min + 59s},
      {"2026-12-31t23:59:59z", sys_days(2026y / December / 31) + 23h + 59min + 59s},
      {"2027-01-01T00:30:00+01:00", sys_days(2026y / December / 31) + 23h + 30min},
      {"2026-12-31T22:00:00-02:30", sys_days(2027y / January / 1) + 0h + 30min},
      {"2026-12-31T23:59:59.999999Z", sys_days(2026y / December / 31) + 23h + 59min + 59s},
      {"2016-12-31T23:59:60Z", sys_days(2016y / December / 31) + 23h + 59min + 59s},
      {"2028-02-29T00:00:00Z", sys_days(2028y / February / 29)},
      {"2026-02-29T00:00:00Z", std::nullopt},
      {"2026-13-01T00:00:00Z", std::nullopt},
      {"2026-12-31T24:00:00Z", std::nullopt},
      {"2026-12-31T23:59:59", std::nullopt},
      {"2026-12-31 23:59:59Z", std::nullopt},
      {"2026-12-31", std::nullopt},
      {"2026-12-31T23:59:59Z ", std::nullopt},
      {"2026-12-31T23:59:59.Z", std::nullopt},
      {"2026-12-31T23:59:59+0100", std::nullopt},
      {"+2026-12-31T23:59:59Z", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_rfc3339(c.text), c.expected) << c.text;
}

TEST(ReleaseClaims, MembersAndTheirTypes) {
  const auto good = read_release_claims(meta_text("quill", "2026-12-18T12:00:00Z", 18446744073709551615u));
  ASSERT_TRUE(good) << good.error();
  EXPECT_EQ(good->app, "quill");
  EXPECT_EQ(good->sequence, 18446744073709551615u);
  EXPECT_EQ(good->expires, sys_days(2026y / December / 18) + 12h);

  const struct {
    const char* text;
    const char* problem;
  } bad[] = {
      {R"({"expires": "2026-12-18T12:00:00Z", "sequence": 1})", "missing field `app`"},
      {R"({"app": "", "expires": "2026-12-18T12:00:00Z", "sequence": 1})", "`app`"},
      {R"({"app": 3, "expires": "2026-12-18T12:00:00Z", "sequence": 1})", "`app`"},
      {R"({"app": "quill", "sequence": 1})", "missing field `expires`"},
      {R"({"app": "quill", "expires": "tomorrow", "sequence": 1})", "not an RFC 3339"},
      {R"({"app": "quill", "expires": 1767000000, "sequence": 1})", "`expires`"},
      {R"({"app": "quill", "expires": "2026-12-18T12:00:00Z"})", "missing field `sequence`"},
      {R"({"app": "quill", "expires": "2026-12-18T12:00:00Z", "sequence": -1})", "`sequence`"},
      {R"({"app": "quill", "expires": "2026-12-18T12:00:00Z", "sequence": 1.5})", "`sequence`"},
      {R"({"app": "quill", "expires": "2026-12-18T12:00:00Z", "sequence": "2"})", "`sequence`"},
      {R"({"app": "quill", "expires": "2026-12-18T12:00:00Z", "sequence": 18446744073709551616})", "`sequence`"},
      {R"({"app": "quill", "app": "folio", "expires": "2026-12-18T12:00:00Z", "sequence": 1})", "duplicate field"},
      {R"(["quill"])", "expected a meta.json object"},
      {R"({"app": "quill")", "parse"},
  };
  for (const auto& c : bad) {
    const auto claims = read_release_claims(c.text);
    ASSERT_FALSE(claims) << c.text;
    EXPECT_NE(claims.error().find(c.problem), std::string::npos) << c.text << " -> " << claims.error();
  }
}

TEST(SignedMeta, EachRefusalIsAnUnreadableMetaJsonWithItsReason) {
  const TestSigningKey key, rotated, stranger;
  const InstallerConfig config = config_with_keys({key.public_text(), rotated.public_text()});
  const std::string url = "https://dl.yoxa.example/q/meta.json";
  const std::string good = meta_text();
  std::string edited = good;
  edited.replace(edited.find("1.4.2"), 5, "1.0.0");

  const struct {
    const char* name;
    std::string text;
    std::string signature;
    std::uint64_t floor;
    std::optional<std::uint32_t> refused_at;  // none: accepted
    const char* reason;
  } cases[] = {
      {"signed", good, key.signature_file(good), 0, std::nullopt, ""},
      {"signed by the second key (rotation)", good, rotated.signature_file(good), 0, std::nullopt, ""},
      {"the same sequence again", good, key.signature_file(good), 7, std::nullopt, ""},
      {"not base64", good, "not a signature", 0, place::kCdnSignatureMalformed, "is not the base64"},
      {"DER, not r||s", good, base64_encode_unpadded(std::string(70, 'x')), 0, place::kCdnSignatureMalformed,
       "64-byte"},
      {"an unknown key", good, stranger.signature_file(good), 0, place::kCdnSignatureInvalid,
       "does not verify with any of the 2 configured signing keys"},
      {"a member edited after signing", edited, key.signature_file(good), 0, place::kCdnSignatureInvalid,
       "does not verify"},
      {"for another app", meta_text("folio"), key.signature_file(meta_text("folio")), 0, place::kCdnOtherApp,
       "signed for app 'folio', not 'quill'"},
      {"past its expiry", meta_text("quill", "2026-12-11T12:00:00Z"),
       key.signature_file(meta_text("quill", "2026-12-11T12:00:00Z")), 0, place::kCdnMetaExpired,
       "expired at 2026-12-11T12:00:00Z"},
      {"an older sequence", good, key.signature_file(good), 8, place::kCdnRolledBack,
       "sequence 7 is lower than 8, already accepted"},
      {"signed but without claims", R"({"version": "1.4.2"})", key.signature_file(R"({"version": "1.4.2"})"), 0,
       place::kCdnClaimsUnreadable, "signed, but missing field `app`"},
  };
  for (const auto& c : cases) {
    MemoryStore store;
    if (c.floor) store.values[kSeqName] = c.floor;
    const MetaSigningContext context{store, [] { return system_clock::time_point(kNow); }};
    const auto accepted = accept_signed_meta(config, "quill", url, c.text, c.signature, context);
    if (!c.refused_at) {
      EXPECT_TRUE(accepted) << c.name << ": " << accepted.error().full_text();
      EXPECT_EQ(store.values[kSeqName], 7u) << c.name;
      continue;
    }
    ASSERT_FALSE(accepted) << c.name;
    EXPECT_EQ(accepted.error().message(), msg::kCouldNotContactServer) << c.name;
    EXPECT_EQ(accepted.error().place(), *c.refused_at) << c.name;
    EXPECT_TRUE(accepted.error().detail().starts_with(url + " refused: ")) << accepted.error().detail();
    EXPECT_NE(accepted.error().detail().find(c.reason), std::string::npos) << c.name << ": "
                                                                          << accepted.error().detail();
    EXPECT_EQ(store.values[kSeqName], c.floor) << c.name << " must not move the floor";
  }
}

TEST(SignedMeta, AnUnreadableStoreOrUnusableKeysRefuse) {
  const TestSigningKey key;
  const std::string text = meta_text();
  MemoryStore store;
  store.read_error = "cannot read HKLM";
  const MetaSigningContext context{store, [] { return system_clock::time_point(kNow); }};
  const auto unknown_floor =
      accept_signed_meta(config_with_keys({key.public_text()}), "quill", "u", text, key.signature_file(text), context);
  ASSERT_FALSE(unknown_floor);
  EXPECT_EQ(unknown_floor.error().place(), place::kCdnSequenceStore);

  // Keys that are all unusable fail closed: signing stays on and nothing verifies.
  const InstallerConfig broken = config_with_keys({"not base64!", "AAAA"});
  ASSERT_TRUE(broken.meta_signing_enabled);
  store.read_error.reset();
  const auto none = accept_signed_meta(broken, "quill", "u", text, key.signature_file(text), context);
  ASSERT_FALSE(none);
  EXPECT_NE(none.error().detail().find("none of the 2 configured signing keys is a usable"), std::string::npos);
}

TEST(SignedMeta, ConfigurationKeysTurnSigningOn) {
  const TestSigningKey key;
  EXPECT_FALSE(parse_installer_config("{}").meta_signing_enabled);
  EXPECT_FALSE(parse_installer_config(R"({"metaSigningKeys": []})").meta_signing_enabled);
  EXPECT_FALSE(parse_installer_config(R"({"metaSigningKeys": "one"})").meta_signing_enabled);

  std::string unpadded = key.public_text();
  unpadded.pop_back();
  const InstallerConfig config = config_with_keys({" " + key.public_text() + "\n", unpadded, "@@", ""});
  EXPECT_TRUE(config.meta_signing_enabled);
  EXPECT_EQ(config.meta_signing_keys, (std::vector<std::string>{key.public_point(), key.public_point()}));
  EXPECT_EQ(config.unusable_meta_signing_keys, 2u);
  // A compressed point (0x02/0x03) is not the configured form.
  std::string compressed = key.public_point().substr(0, 33);
  compressed[0] = 0x02;
  EXPECT_FALSE(decode_meta_signing_key(base64_encode_unpadded(compressed)));
}

TEST(ReleaseSequenceStore, ElevatedKeepsToTheMachineHive) {
  FakeRegistry registry;
  registry.set_string(RegistryHive::CurrentUser, RegistryView::Bits64, kReleaseSequenceKey, kSeqName, "900");
  registry.set_string(RegistryHive::LocalMachine, RegistryView::Bits64, kReleaseSequenceKey, kSeqName, "40");
  RegistrySequenceStore elevated(registry, true);
  // What the user wrote in HKCU can neither lower nor block a machine run.
  EXPECT_EQ(elevated.highest(kSeqName), 40u);
  ASSERT_TRUE(elevated.raise(kSeqName, 41));
  const auto machine = registry.value(RegistryHive::LocalMachine, RegistryView::Bits64, kReleaseSequenceKey, kSeqName);
  ASSERT_TRUE(machine && *machine);
  EXPECT_EQ((*machine)->text, "41");

  RegistrySequenceStore user(registry, false);
  EXPECT_EQ(user.highest(kSeqName), 900u);
  registry.set_string(RegistryHive::CurrentUser, RegistryView::Bits64, kReleaseSequenceKey, kSeqName, "3");
  EXPECT_EQ(user.highest(kSeqName), 41u) << "the machine's floor holds for the user too";
  ASSERT_TRUE(user.raise(kSeqName, 50));
  const auto own = registry.value(RegistryHive::CurrentUser, RegistryView::Bits64, kReleaseSequenceKey, kSeqName);
  EXPECT_EQ((*own)->text, "50");
  EXPECT_EQ(elevated.highest("default/latest/folio"), 0u);
}

TEST(ReleaseSequenceStore, UnreadableOrGarbledValuesAreErrors) {
  FakeRegistry registry;
  registry.set_string(RegistryHive::LocalMachine, RegistryView::Bits64, kReleaseSequenceKey, "a", "12x");
  registry.set_string(RegistryHive::LocalMachine, RegistryView::Bits64, kReleaseSequenceKey, "b", "");
  registry.set_dword(RegistryHive::LocalMachine, RegistryView::Bits64, kReleaseSequenceKey, "c", 12);
  registry.fail_value(RegistryHive::LocalMachine, RegistryView::Bits64, kReleaseSequenceKey, "d");
  RegistrySequenceStore store(registry, true);
  EXPECT_FALSE(store.highest("a"));
  EXPECT_FALSE(store.highest("b"));
  EXPECT_EQ(store.highest("c"), 12u);
  ASSERT_FALSE(store.highest("d"));
  EXPECT_NE(store.highest("d").error().find("HKLM\\SOFTWARE\\Yoxa"), std::string::npos);

  FakeRegistry locked;
  locked.fail_key(RegistryHive::CurrentUser, RegistryView::Bits64, kReleaseSequenceKey);
  RegistrySequenceStore user(locked, false);
  EXPECT_FALSE(user.highest("a"));
  EXPECT_FALSE(user.raise("a", 1));
}

TEST(SignedMeta, FetchAsksForTheSignatureOnlyWhenKeysAreConfigured) {
  const TestSigningKey key;
  const std::string dir = "https://dl.yoxa.example/officesuite/apps/default/quill/windows/x64/msi/latest";
  const std::string text = meta_text();
  MemoryStore store;
  const MetaSigningContext context{store, [] { return system_clock::time_point(kNow); }};

  FakeHttpClient unsigned_client;
  unsigned_client.on(dir + "/meta.json", FakeReply::ok(text));
  InstallerConfig plain = config_with_keys({});
  ASSERT_TRUE(fetch_package_meta(unsigned_client, plain, "quill", &context));
  EXPECT_EQ(unsigned_client.request_count(), 1u);

  const InstallerConfig config = config_with_keys({key.public_text()});
  FakeHttpClient client;
  client.on(dir + "/meta.json", FakeReply::ok(text));
  client.on(dir + "/meta.json.sig", FakeReply::ok(key.signature_file(text)));
  const auto lookup = fetch_package_meta(client, config, "quill", &context);
  ASSERT_TRUE(lookup) << lookup.error().full_text();
  EXPECT_EQ(lookup->meta.version, "1.4.2");
  EXPECT_EQ(store.values[kSeqName], 7u);

  // A missing signature is an unreadable meta.json, not a 404 of the app (which would
  // start the source-unavailable probe); the architecture fallback then finds nothing.
  FakeHttpClient missing;
  missing.on(dir + "/meta.json", FakeReply::ok(text));
  missing.on(dir + "/meta.json.sig", FakeReply::with_status(404));
  missing.then(FakeReply::with_status(404));
  const auto refused = fetch_package_meta(missing, config, "quill", &context);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), msg::kCouldNotContactServer);
  EXPECT_EQ(refused.error().place(), place::kCdnSignatureFetch);
  EXPECT_NE(refused.error().detail().find("meta.json.sig could not be fetched: 404 for"), std::string::npos)
      << refused.error().detail();
}

}  // namespace
}  // namespace yoxa
