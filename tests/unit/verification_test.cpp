// Package verification with fakes at the seams: a scripted PowerShell
// runner, a scripted Authenticode verifier and a sleeper that only records. The
// catalog decisions and the trust outcomes Wine cannot produce are covered here.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/messages.h"
#include "core/unicode_case.h"
#include "acquisition/verification.h"
#include "log_capture.h"
#include "platform/trust.h"

namespace yoxa {
namespace {

using platform::TrustCheck;
using std::chrono::seconds;
using testing::logged_by;

constexpr const char* kPath = "C:\\staging\\quill-1.2.3.msi";
constexpr const char* kHash = "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08";
constexpr const char* kHashLower = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

// Everything the seams saw, in order, so tests can tell which step ran first.
struct Trace {
  std::vector<std::string> calls;
};

// Answers each run with the next scripted result and records the scripts it got.
class ScriptedRunner {
 public:
  ScriptedRunner(Trace& trace, std::vector<Result<std::string>> answers)
      : trace_(trace), answers_(answers.begin(), answers.end()) {}
  ScriptRunner runner() {
    return [this](const std::string& script, std::uint32_t limit) -> Result<std::string> {
      trace_.calls.push_back("powershell");
      scripts.push_back(script);
      limits.push_back(limit);
      if (answers_.empty()) ADD_FAILURE() << "unexpected PowerShell run";
      if (answers_.empty()) return std::unexpected(Error::same("no scripted answer", 0));
      auto answer = answers_.front();
      answers_.pop_front();
      return answer;
    };
  }
  std::vector<std::string> scripts;
  std::vector<std::uint32_t> limits;

 private:
  Trace& trace_;
  std::deque<Result<std::string>> answers_;
};

Result<std::string> runner_error(const std::string& text) { return std::unexpected(Error::same(text, 4703)); }

// Returns the scripted checks in order; the last one repeats.
class FakeTrust final : public platform::TrustVerifier {
 public:
  FakeTrust(Trace& trace, std::vector<TrustCheck> file, std::vector<TrustCheck> catalog = {})
      : trace_(trace), file_(std::move(file)), catalog_(std::move(catalog)) {}
  TrustCheck verify_file(const std::string& path) override {
    trace_.calls.push_back("file");
    file_paths.push_back(path);
    return next(file_, file_calls++);
  }
  TrustCheck verify_catalog(const std::string& path) override {
    trace_.calls.push_back("catalog");
    catalog_paths.push_back(path);
    return next(catalog_, catalog_calls++);
  }
  int file_calls = 0;
  int catalog_calls = 0;
  std::vector<std::string> file_paths;
  std::vector<std::string> catalog_paths;

 private:
  static TrustCheck next(const std::vector<TrustCheck>& checks, int index) {
    if (checks.empty()) {
      ADD_FAILURE() << "unexpected trust check";
      return TrustCheck::failed(0xDEADBEEF);
    }
    return checks[std::min(static_cast<std::size_t>(index), checks.size() - 1)];
  }
  Trace& trace_;
  std::vector<TrustCheck> file_;
  std::vector<TrustCheck> catalog_;
};

struct RecordingSleeper {
  std::vector<seconds> waits;
  Pause sleeper() {
    return [this](std::chrono::milliseconds duration) { waits.push_back(std::chrono::duration_cast<seconds>(duration)); };
  }
};

const TrustCheck kYoxaSigned = TrustCheck::trusted(kExpectedSigner);
const TrustCheck kUnsigned = TrustCheck::failed(platform::kTrustNoSignature);

void expect_verify_failed(const Result<void>& result, const std::string& detail) {
  ASSERT_FALSE(result) << "expected a failure with detail: " << detail;
  EXPECT_EQ(result.error().message(), msg::kVerificationFailed);
  EXPECT_EQ(code_for_error(result.error()), ErrorKind::VerifyFailed);
  EXPECT_EQ(result.error().detail(), detail);
}

// -- the hash command --------------------------------------------------------------

TEST(ChecksumScript, IsTheGetFileHashPipelineWithTheQuotedLiteralPath) {
  EXPECT_EQ(checksum_script(kPath),
            "Microsoft.PowerShell.Utility\\Get-FileHash -LiteralPath 'C:\\staging\\quill-1.2.3.msi' -Algorithm SHA256 | "
            "Microsoft.PowerShell.Utility\\Select-Object -ExpandProperty Hash");
}

TEST(ChecksumScript, DoublesSingleQuotesAndReplacesInvalidUtf8) {
  const std::string script = checksum_script("C:\\it's\\caf\xC3\xA9\xFF.msi");
  EXPECT_NE(script.find("-LiteralPath 'C:\\it''s\\caf\xC3\xA9\xEF\xBF\xBD.msi' -Algorithm"), std::string::npos)
      << script;
}

// -- verify_checksum -----------------------------------------------------------------

TEST(VerifyChecksum, MatchingHashPassesAfterOneRun) {
  Trace trace;
  ScriptedRunner runner(trace, {std::string(kHash)});
  RecordingSleeper sleeper;
  Result<void> result;
  const std::string log = logged_by([&] { result = verify_checksum(kPath, kHash, runner.runner(), sleeper.sleeper()); });
  ASSERT_TRUE(result) << result.error().full_text();
  ASSERT_EQ(runner.scripts.size(), 1u);
  EXPECT_EQ(runner.scripts[0], checksum_script(kPath));
  EXPECT_EQ(runner.limits[0], 300u);
  EXPECT_TRUE(sleeper.waits.empty());
  EXPECT_NE(log.find("Checksum verification passed"), std::string::npos) << log;
  EXPECT_NE(log.find("Installer verification completed (checksum only)"), std::string::npos) << log;
}

TEST(VerifyChecksum, LowerCaseExpectedMatchesUpperCaseOutput) {
  Trace trace;
  ScriptedRunner runner(trace, {std::string(kHash)});
  RecordingSleeper sleeper;
  EXPECT_TRUE(verify_checksum(kPath, kHashLower, runner.runner(), sleeper.sleeper()));
}

TEST(VerifyChecksum, LowerCaseOutputIsUpperCasedToo) {
  Trace trace;
  ScriptedRunner runner(trace, {std::string(kHashLower)});
  RecordingSleeper sleeper;
  EXPECT_TRUE(verify_checksum(kPath, kHash, runner.runner(), sleeper.sleeper()));
}

TEST(VerifyChecksum, MismatchFailsAtOnceWithBothValuesUpperCased) {
  Trace trace;
  ScriptedRunner runner(trace, {std::string("abc123")});
  RecordingSleeper sleeper;
  Result<void> result;
  const std::string log = logged_by([&] { result = verify_checksum(kPath, "def456", runner.runner(), sleeper.sleeper()); });
  expect_verify_failed(result, "Checksum mismatch: got ABC123 vs DEF456");
  EXPECT_EQ(runner.scripts.size(), 1u);
  EXPECT_TRUE(sleeper.waits.empty());
  EXPECT_EQ(log.find("Installer verification completed"), std::string::npos) << log;
}

TEST(VerifyChecksum, EmptyExpectedMatchesNothing) {
  Trace trace;
  ScriptedRunner runner(trace, {std::string(kHash)});
  RecordingSleeper sleeper;
  expect_verify_failed(verify_checksum(kPath, "", runner.runner(), sleeper.sleeper()),
                       std::string("Checksum mismatch: got ") + kHash + " vs ");
}

TEST(VerifyChecksum, ExpectedValueIsNotTrimmed) {
  for (const std::string& expected : {std::string(kHash) + " ", std::string(kHash) + "\n", " " + std::string(kHash)}) {
    Trace trace;
    ScriptedRunner runner(trace, {std::string(kHash)});
    RecordingSleeper sleeper;
    expect_verify_failed(verify_checksum(kPath, expected, runner.runner(), sleeper.sleeper()),
                         "Checksum mismatch: got " + std::string(kHash) + " vs " + expected);
  }
}

TEST(VerifyChecksum, ExpectedValueGetsFullUnicodeUpperCasing) {
  // U+FB00 (the "ff" ligature) upper-cases to "FF", so it matches hexadecimal digits.
  Trace trace;
  ScriptedRunner runner(trace, {std::string("FF00"), std::string("FF00")});
  RecordingSleeper sleeper;
  EXPECT_TRUE(verify_checksum(kPath, "\xEF\xAC\x80" "00", runner.runner(), sleeper.sleeper()));
  expect_verify_failed(verify_checksum(kPath, "stra\xC3\x9F" "e", runner.runner(), sleeper.sleeper()),
                       "Checksum mismatch: got FF00 vs STRASSE");
}

TEST(VerifyChecksum, RunnerFailingTwiceThenSucceedingWaitsFiveThenTenSeconds) {
  Trace trace;
  ScriptedRunner runner(trace, {runner_error("Shell Not Responding"), runner_error("Command Error: denied"),
                                std::string(kHash)});
  RecordingSleeper sleeper;
  Result<void> result;
  const std::string log = logged_by([&] { result = verify_checksum(kPath, kHashLower, runner.runner(), sleeper.sleeper()); });
  ASSERT_TRUE(result) << result.error().full_text();
  EXPECT_EQ(runner.scripts.size(), 3u);
  EXPECT_EQ(sleeper.waits, (std::vector<seconds>{seconds(5), seconds(10)}));
  EXPECT_NE(log.find("Attempt 1 to compute checksum failed: Shell Not Responding"), std::string::npos) << log;
  EXPECT_NE(log.find("Attempt 2 to compute checksum failed: Command Error: denied"), std::string::npos) << log;
  EXPECT_NE(log.find("Checksum verification passed"), std::string::npos) << log;
}

TEST(VerifyChecksum, ThreeRunnerFailuresGiveTheLastErrorTextAndNoWaitAfterTheLast) {
  Trace trace;
  // A failed command's message is the runner's error text; its detail (standard error) is not.
  ScriptedRunner runner(trace, {runner_error("Shell Not Responding"), runner_error("Shell Not Responding"),
                                std::unexpected(Error("Command Failed: exit code: 1", "Get-FileHash: no file", 4705))});
  RecordingSleeper sleeper;
  Result<void> result;
  const std::string log = logged_by([&] { result = verify_checksum(kPath, kHash, runner.runner(), sleeper.sleeper()); });
  expect_verify_failed(result, "Command Failed: exit code: 1");
  EXPECT_EQ(runner.scripts.size(), 3u);
  EXPECT_EQ(sleeper.waits, (std::vector<seconds>{seconds(5), seconds(10)}));
  EXPECT_NE(log.find("Attempt 3 to compute checksum failed: Command Failed: exit code: 1"), std::string::npos) << log;
}

// -- verify_package: the signature ---------------------------------------------------

TEST(VerifyPackage, RightSignerAndChecksumPass) {
  Trace trace;
  FakeTrust trust(trace, {kYoxaSigned});
  ScriptedRunner runner(trace, {std::string(kHash)});
  RecordingSleeper sleeper;
  Result<void> result;
  const std::string log =
      logged_by([&] { result = verify_package(kPath, kHashLower, trust, runner.runner(), sleeper.sleeper()); });
  ASSERT_TRUE(result) << result.error().full_text();
  EXPECT_EQ(trace.calls, (std::vector<std::string>{"file", "powershell"}));
  EXPECT_EQ(trust.file_paths, std::vector<std::string>{kPath});
  EXPECT_TRUE(sleeper.waits.empty());
  EXPECT_NE(log.find("Checksum verification passed"), std::string::npos) << log;
  EXPECT_NE(log.find("Installer verification completed\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("(checksum only)"), std::string::npos) << log;
}

TEST(VerifyPackage, UnsignedFileFailsAfterThreeAttemptsWithoutHashing) {
  Trace trace;
  FakeTrust trust(trace, {kUnsigned}, {TrustCheck::not_in_catalog()});
  ScriptedRunner runner(trace, {});
  RecordingSleeper sleeper;
  Result<void> result;
  const std::string log =
      logged_by([&] { result = verify_package(kPath, kHash, trust, runner.runner(), sleeper.sleeper()); });
  expect_verify_failed(result, "Signature verification failed: The binary file didn't have any signature");
  EXPECT_EQ(trace.calls, (std::vector<std::string>{"file", "catalog", "file", "catalog", "file", "catalog"}));
  EXPECT_EQ(sleeper.waits, (std::vector<seconds>{seconds(5), seconds(10)}));
  for (int attempt = 1; attempt <= 3; ++attempt) {
    const std::string line = "Attempt " + std::to_string(attempt) +
                             " to verify signature failed (1): The binary file didn't have any signature";
    EXPECT_NE(log.find(line), std::string::npos) << log;
  }
}

TEST(VerifyPackage, OtherLetterCaseOfTheSignerFailsAfterOneAttempt) {
  Trace trace;
  FakeTrust trust(trace, {TrustCheck::trusted("YOXA Corporation Private limited")});
  ScriptedRunner runner(trace, {});
  RecordingSleeper sleeper;
  Result<void> result;
  const std::string log =
      logged_by([&] { result = verify_package(kPath, kHash, trust, runner.runner(), sleeper.sleeper()); });
  expect_verify_failed(result, "Signature verification failed: common name mismatch");
  EXPECT_EQ(trust.file_calls, 1);
  EXPECT_TRUE(sleeper.waits.empty());
  EXPECT_TRUE(runner.scripts.empty());
  EXPECT_NE(log.find("[ERROR"), std::string::npos) << log;
  EXPECT_NE(log.find("Signature verification failed: unexpected common name 'YOXA Corporation Private limited'"),
            std::string::npos)
      << log;
}

TEST(VerifyPackage, SignerNameMustBeTheWholeString) {
  for (const char* name : {"YOXA Corporation Private Limited ", "YOXA Corporation", "N/A", ""}) {
    Trace trace;
    FakeTrust trust(trace, {TrustCheck::trusted(name)});
    ScriptedRunner runner(trace, {});
    RecordingSleeper sleeper;
    expect_verify_failed(verify_package(kPath, kHash, trust, runner.runner(), sleeper.sleeper()),
                         "Signature verification failed: common name mismatch");
    EXPECT_EQ(trust.file_calls, 1) << name;
  }
}

TEST(VerifyPackage, InvalidSignatureIsRetriedAndNotLookedUpInCatalogs) {
  Trace trace;
  FakeTrust trust(trace, {TrustCheck::failed(0x80096010)});  // TRUST_E_BAD_DIGEST: a tampered file
  ScriptedRunner runner(trace, {});
  RecordingSleeper sleeper;
  Result<void> result;
  const std::string log =
      logged_by([&] { result = verify_package(kPath, kHash, trust, runner.runner(), sleeper.sleeper()); });
  expect_verify_failed(result, "Signature verification failed: OS Error: -2146869232");
  EXPECT_EQ(trust.file_calls, 3);
  EXPECT_EQ(trust.catalog_calls, 0);
  EXPECT_EQ(sleeper.waits, (std::vector<seconds>{seconds(5), seconds(10)}));
  EXPECT_NE(log.find("Attempt 2 to verify signature failed (1): OS Error: -2146869232"), std::string::npos) << log;
}

TEST(VerifyPackage, MissingSignerCertificateIsAnOsError) {
  Trace trace;
  FakeTrust trust(trace, {TrustCheck::failed(platform::kTrustNoSignerCert)});
  ScriptedRunner runner(trace, {});
  RecordingSleeper sleeper;
  expect_verify_failed(verify_package(kPath, kHash, trust, runner.runner(), sleeper.sleeper()),
                       "Signature verification failed: OS Error: -2146869246");
}

TEST(VerifyPackage, TransientFailureThenTrustedPassesAfterOneWait) {
  Trace trace;
  FakeTrust trust(trace, {TrustCheck::failed(5), kYoxaSigned});
  ScriptedRunner runner(trace, {std::string(kHash)});
  RecordingSleeper sleeper;
  Result<void> result;
  const std::string log =
      logged_by([&] { result = verify_package(kPath, kHash, trust, runner.runner(), sleeper.sleeper()); });
  ASSERT_TRUE(result) << result.error().full_text();
  EXPECT_EQ(trust.file_calls, 2);
  EXPECT_EQ(sleeper.waits, std::vector<seconds>{seconds(5)});
  EXPECT_NE(log.find("Attempt 1 to verify signature failed (1): OS Error: 5"), std::string::npos) << log;
}

TEST(VerifyPackage, MalformedPathIsASignatureValidationFailure) {
  Trace trace;
  FakeTrust trust(trace, {TrustCheck::malformed_path()});
  ScriptedRunner runner(trace, {});
  RecordingSleeper sleeper;
  Result<void> result;
  const std::string log =
      logged_by([&] { result = verify_package(kPath, kHash, trust, runner.runner(), sleeper.sleeper()); });
  expect_verify_failed(result, "Signature validation failed: The provided path was malformed");
  EXPECT_EQ(trust.file_calls, 3);
  EXPECT_EQ(trust.catalog_calls, 0);
  EXPECT_NE(log.find("Attempt 3 to verify signature failed (2): The provided path was malformed"), std::string::npos)
      << log;
}

// -- verify_package: the catalog fallback (Wine has no catalog database) ---------------

TEST(VerifyPackage, FileListedInASignedCatalogPasses) {
  Trace trace;
  FakeTrust trust(trace, {kUnsigned}, {kYoxaSigned});
  ScriptedRunner runner(trace, {std::string(kHash)});
  RecordingSleeper sleeper;
  const auto result = verify_package(kPath, kHash, trust, runner.runner(), sleeper.sleeper());
  ASSERT_TRUE(result) << result.error().full_text();
  EXPECT_EQ(trace.calls, (std::vector<std::string>{"file", "catalog", "powershell"}));
  EXPECT_EQ(trust.catalog_paths, std::vector<std::string>{kPath});
  EXPECT_TRUE(sleeper.waits.empty());
}

TEST(VerifyPackage, CatalogSignedByAnotherNameFailsAtOnce) {
  Trace trace;
  FakeTrust trust(trace, {kUnsigned}, {TrustCheck::trusted("Microsoft Windows")});
  ScriptedRunner runner(trace, {});
  RecordingSleeper sleeper;
  expect_verify_failed(verify_package(kPath, kHash, trust, runner.runner(), sleeper.sleeper()),
                       "Signature verification failed: common name mismatch");
  EXPECT_EQ(trace.calls, (std::vector<std::string>{"file", "catalog"}));
}

TEST(VerifyPackage, FailingCatalogCallIsAnOsError) {
  // Wine, for one, fails CryptCATAdminAcquireContext2 with ERROR_CALL_NOT_IMPLEMENTED (120).
  Trace trace;
  FakeTrust trust(trace, {kUnsigned}, {TrustCheck::failed(120)});
  ScriptedRunner runner(trace, {});
  RecordingSleeper sleeper;
  expect_verify_failed(verify_package(kPath, kHash, trust, runner.runner(), sleeper.sleeper()),
                       "Signature verification failed: OS Error: 120");
  EXPECT_EQ(trust.catalog_calls, 3);
}

TEST(VerifyPackage, CatalogVerificationFailingWithNoSignatureIsAnOsErrorNotUnsigned) {
  // Only "no catalog lists the file" means unsigned; a failed catalog verification is a failed call.
  Trace trace;
  FakeTrust trust(trace, {kUnsigned}, {kUnsigned});
  ScriptedRunner runner(trace, {});
  RecordingSleeper sleeper;
  expect_verify_failed(verify_package(kPath, kHash, trust, runner.runner(), sleeper.sleeper()),
                       "Signature verification failed: OS Error: -2146762496");
  EXPECT_EQ(trust.catalog_calls, 3);
}

TEST(VerifyPackage, CatalogFoundOnALaterAttemptPasses) {
  Trace trace;
  FakeTrust trust(trace, {kUnsigned}, {TrustCheck::failed(0x80070020), kYoxaSigned});
  ScriptedRunner runner(trace, {std::string(kHash)});
  RecordingSleeper sleeper;
  EXPECT_TRUE(verify_package(kPath, kHash, trust, runner.runner(), sleeper.sleeper()));
  EXPECT_EQ(sleeper.waits, std::vector<seconds>{seconds(5)});
}

// -- verify_package: signature, then checksum ----------------------------------------

TEST(VerifyPackage, SignedFileWithWrongChecksumFailsWithTheMismatchAfterTheSignature) {
  Trace trace;
  FakeTrust trust(trace, {kYoxaSigned});
  ScriptedRunner runner(trace, {std::string(kHash)});
  RecordingSleeper sleeper;
  expect_verify_failed(verify_package(kPath, "00", trust, runner.runner(), sleeper.sleeper()),
                       std::string("Checksum mismatch: got ") + kHash + " vs 00");
  EXPECT_EQ(trace.calls, (std::vector<std::string>{"file", "powershell"}));
}

TEST(VerifyPackage, EmptyExpectedChecksumFailsOnlyAfterTheSignaturePassed) {
  Trace trace;
  FakeTrust trust(trace, {kYoxaSigned});
  ScriptedRunner runner(trace, {std::string(kHash)});
  RecordingSleeper sleeper;
  expect_verify_failed(verify_package(kPath, "", trust, runner.runner(), sleeper.sleeper()),
                       std::string("Checksum mismatch: got ") + kHash + " vs ");

  Trace unsigned_trace;
  FakeTrust unsigned_trust(unsigned_trace, {kUnsigned}, {TrustCheck::not_in_catalog()});
  ScriptedRunner unused(unsigned_trace, {});
  expect_verify_failed(verify_package(kPath, "", unsigned_trust, unused.runner(), sleeper.sleeper()),
                       "Signature verification failed: The binary file didn't have any signature");
}

TEST(VerifyPackage, ChecksumStepRetriesItsCommandToo) {
  Trace trace;
  FakeTrust trust(trace, {kYoxaSigned});
  ScriptedRunner runner(trace, {runner_error("Shell Not Responding"), std::string(kHash)});
  RecordingSleeper sleeper;
  EXPECT_TRUE(verify_package(kPath, kHash, trust, runner.runner(), sleeper.sleeper()));
  EXPECT_EQ(sleeper.waits, std::vector<seconds>{seconds(5)});
}

// -- the native stand-in of the seam ------------------------------------------------

// What an elevated run asks of an offline package: the signer always, the checksum only
// when the manifest has one; only what passed is remembered for the MSIX certificate step.
TEST(VerifySignedPackage, SignerAlwaysChecksumWhenGivenAndOnlySuccessIsRemembered) {
  const std::string path = "C:\\staging\\signed-only.msix";
  {
    Trace trace;
    FakeTrust trust(trace, {kYoxaSigned});
    ScriptedRunner runner(trace, {});
    RecordingSleeper sleeper;
    EXPECT_TRUE(verify_signed_package(path, std::nullopt, trust, runner.runner(), sleeper.sleeper()));
    EXPECT_EQ(trace.calls, std::vector<std::string>{"file"});
    EXPECT_TRUE(passed_package_verification(path));
  }
  {
    Trace trace;
    FakeTrust trust(trace, {kYoxaSigned});
    ScriptedRunner runner(trace, {std::string("0BAD")});
    RecordingSleeper sleeper;
    expect_verify_failed(verify_signed_package(path + ".other", std::string(kHash), trust, runner.runner(),
                                               sleeper.sleeper()),
                         std::string("Checksum mismatch: got 0BAD vs ") + kHash);
    EXPECT_EQ(trace.calls, (std::vector<std::string>{"file", "powershell"}));
    EXPECT_FALSE(passed_package_verification(path + ".other"));
  }
  {
    Trace trace;
    FakeTrust trust(trace, {TrustCheck::trusted("Someone Else")});
    ScriptedRunner runner(trace, {});
    RecordingSleeper sleeper;
    expect_verify_failed(verify_signed_package(path + ".foreign", std::nullopt, trust, runner.runner(),
                                               sleeper.sleeper()),
                         "Signature verification failed: common name mismatch");
    EXPECT_FALSE(passed_package_verification(path + ".foreign"));
  }
  EXPECT_FALSE(passed_package_verification("C:\\staging\\never-checked.msix"));
}

// A chained runtime installer may carry any signer Windows trusts, in the file or in a
// catalog; an unsigned one fails at the first attempt.
TEST(VerifyTrustedSigner, AnyTrustedSignerPassesUnsignedFails) {
  Trace trace;
  FakeTrust vendor(trace, {TrustCheck::trusted("Platform Vendor")});
  auto signer = verify_trusted_signer(kPath, vendor);
  ASSERT_TRUE(signer);
  EXPECT_EQ(*signer, "Platform Vendor");

  FakeTrust catalogued(trace, {kUnsigned}, {TrustCheck::trusted("Platform Vendor Catalog")});
  EXPECT_EQ(verify_trusted_signer(kPath, catalogued).value_or(""), "Platform Vendor Catalog");

  FakeTrust bare(trace, {kUnsigned}, {TrustCheck::not_in_catalog()});
  auto refused = verify_trusted_signer(kPath, bare);
  ASSERT_FALSE(refused);
  EXPECT_EQ(code_for_error(refused.error()), ErrorKind::VerifyFailed);
  EXPECT_EQ(refused.error().detail(), "Signature verification failed: The binary file didn't have any signature");
  EXPECT_EQ(bare.file_calls, 1);
}

TEST(SystemTrustVerifier, StandInFindsNoSignatureAndNoCatalog) {
  auto& trust = platform::system_trust_verifier();
  const TrustCheck file = trust.verify_file(kPath);
  EXPECT_EQ(file.outcome, TrustCheck::Outcome::Failed);
  EXPECT_EQ(file.status, 0x800B0100u);
  EXPECT_EQ(trust.verify_catalog(kPath).outcome, TrustCheck::Outcome::NotInCatalog);
  EXPECT_EQ(trust.verify_file(std::string("a\0b", 3)).outcome, TrustCheck::Outcome::MalformedPath);
}

TEST(SystemTrustVerifier, StandInMakesEveryPackageUnsigned) {
  Trace trace;
  ScriptedRunner runner(trace, {});
  RecordingSleeper sleeper;
  expect_verify_failed(verify_package(kPath, kHash, platform::system_trust_verifier(), runner.runner(),
                                      sleeper.sleeper()),
                       "Signature verification failed: The binary file didn't have any signature");
  expect_verify_failed(verify_package(std::string("C:\\a\0.msi", 9), kHash, platform::system_trust_verifier(),
                                      runner.runner(), sleeper.sleeper()),
                       "Signature validation failed: The provided path was malformed");
}

// -- full Unicode upper-casing --------------------------------------------------------

TEST(UnicodeUpper, SimpleAndFullMappings) {
  EXPECT_EQ(unicode_upper("0123456789abcdefABCDEF"), "0123456789ABCDEFABCDEF");
  EXPECT_EQ(unicode_upper("stra\xC3\x9F" "e"), "STRASSE");                  // ß -> SS
  EXPECT_EQ(unicode_upper("\xEF\xAC\x80"), "FF");                           // U+FB00 ﬀ
  EXPECT_EQ(unicode_upper("\xC5\x89"), "\xCA\xBCN");                        // U+0149 ŉ -> ʼN
  EXPECT_EQ(unicode_upper("\xC3\xA9\xC3\xBF"), "\xC3\x89\xC5\xB8");          // é ÿ -> É Ÿ
  EXPECT_EQ(unicode_upper("\xC4\x81\xC4\x83"), "\xC4\x80\xC4\x82");          // ā ă (alternating pairs)
  EXPECT_EQ(unicode_upper("\xC7\x85"), "\xC7\x84");                          // ǅ -> Ǆ
  EXPECT_EQ(unicode_upper("\xCE\xB1\xCF\x82"), "\xCE\x91\xCE\xA3");          // α ς -> Α Σ
  EXPECT_EQ(unicode_upper("\xD0\xB6"), "\xD0\x96");                          // ж -> Ж
  EXPECT_EQ(unicode_upper("\xF0\x90\x90\xA8"), "\xF0\x90\x90\x80");          // U+10428 -> U+10400
  EXPECT_EQ(unicode_upper("\xE2\x84\xAA"), "\xE2\x84\xAA");                  // Kelvin sign stays
  EXPECT_EQ(unicode_upper("a\xFF" "b"), "A\xEF\xBF\xBD" "B");                // invalid byte -> U+FFFD
  EXPECT_EQ(unicode_upper(""), "");
}

}  // namespace
}  // namespace yoxa
