// verify_probe package|checksum PATH EXPECTED [--hash=powershell|self]
//
// Runs the engine's real verify_package or verify_checksum on PATH with the real
// Authenticode seam (WinVerifyTrust), and prints the outcome as one JSON line:
//   {"ok":bool, "message":text|null, "detail":text|null,
//    "signature_attempts":n, "checks":["file:failed:0x800B0100", "catalog:...", ...],
//    "checksum_runs":n, "scripts":[...], "waits":[5,10]}
// The waits between attempts are recorded, not slept, so a three-attempt failure
// takes no 15 s. The engine's log lines are echoed to standard error.
//
// --hash=powershell (the default) computes hashes with run_powershell, i.e. the
// PowerShell in the prefix (the stand-in in the Wine tests). --hash=self answers
// the hash script inside the probe: it takes the -LiteralPath back out of the
// script the engine built and hashes that file with BCrypt, as Get-FileHash would.
#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/protocol_event.h"
#include "core/text.h"
#include "system/command_runner.h"
#include "acquisition/verification.h"
#include "platform/system.h"
#include "platform/trust.h"
#include "system/logger.h"

namespace {

std::string hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

// The system verifier, with every check it answers written down.
class RecordingTrust final : public yoxa::platform::TrustVerifier {
 public:
  yoxa::platform::TrustCheck verify_file(const std::string& path) override {
    ++file_checks;
    return record("file", yoxa::platform::system_trust_verifier().verify_file(path));
  }
  yoxa::platform::TrustCheck verify_catalog(const std::string& path) override {
    return record("catalog", yoxa::platform::system_trust_verifier().verify_catalog(path));
  }
  int file_checks = 0;
  std::vector<std::string> checks;

 private:
  yoxa::platform::TrustCheck record(const std::string& kind, yoxa::platform::TrustCheck check) {
    using Outcome = yoxa::platform::TrustCheck::Outcome;
    switch (check.outcome) {
      case Outcome::Trusted: checks.push_back(kind + ":trusted:" + check.signer); break;
      case Outcome::Failed: checks.push_back(kind + ":failed:" + hex32(check.status)); break;
      case Outcome::NotInCatalog: checks.push_back(kind + ":not-in-catalog"); break;
      case Outcome::MalformedPath: checks.push_back(kind + ":malformed-path"); break;
    }
    return check;
  }
};

// The path between -LiteralPath ' and the closing quote, with doubled quotes undone.
std::string literal_path_of(const std::string& script) {
  const std::string marker = "-LiteralPath '";
  const auto start = script.find(marker);
  if (start == std::string::npos) return {};
  std::string path;
  for (auto i = start + marker.size(); i < script.size(); ++i) {
    if (script[i] == '\'') {
      if (i + 1 < script.size() && script[i + 1] == '\'') {
        path += '\'';
        ++i;
        continue;
      }
      break;
    }
    path += script[i];
  }
  return path;
}

// SHA-256 of a file in upper-case hexadecimal, or an empty string when it cannot be read.
std::string sha256_file(const std::string& path) {
  const std::u16string wide = yoxa::utf8_to_utf16(path);
  HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[32] = {};
  bool ok = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0 &&
            BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
  std::vector<unsigned char> buffer(1 << 16);
  DWORD got = 0;
  while (ok && ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0) {
    ok = BCryptHashData(hash, buffer.data(), got, 0) >= 0;
  }
  ok = ok && BCryptFinishHash(hash, digest, sizeof digest, 0) >= 0;
  if (hash) BCryptDestroyHash(hash);
  if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
  CloseHandle(file);
  if (!ok) return {};
  std::string text;
  for (const unsigned char byte : digest) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

}  // namespace

int wmain(int argc, wchar_t**) {
  const auto arguments = yoxa::platform::command_line_arguments(argc, nullptr);
  if (arguments.size() < 3 || arguments.size() > 4 || (arguments[0] != "package" && arguments[0] != "checksum")) {
    std::fputs("usage: verify_probe package|checksum PATH EXPECTED [--hash=powershell|self]\n", stderr);
    return 99;
  }
  const bool self_hash = arguments.size() == 4 && arguments[3] == "--hash=self";
  if (arguments.size() == 4 && !self_hash && arguments[3] != "--hash=powershell") return 99;
  yoxa::platform::prepare_standard_streams();
  if (yoxa::init_logger(yoxa::platform::temp_directory() + "\\yoxa-verify-probe")) yoxa::set_log_echo(true);

  std::vector<std::string> scripts;
  std::vector<int> waits;
  const yoxa::ScriptRunner run = [&](const std::string& script, std::uint32_t limit) -> yoxa::Result<std::string> {
    scripts.push_back(script);
    if (!self_hash) return yoxa::run_powershell(script, limit);
    const std::string path = literal_path_of(script);
    if (script != yoxa::checksum_script(path)) return yoxa::fail("Command Failed: exit code: 1", "unexpected script", 0);
    const std::string hash = sha256_file(path);
    if (hash.empty()) return yoxa::fail("Command Failed: exit code: 1", "Get-FileHash: cannot read the file", 0);
    return hash;
  };
  const yoxa::Pause sleep = [&](std::chrono::milliseconds duration) {
    waits.push_back(static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(duration).count()));
  };

  RecordingTrust trust;
  const auto result = arguments[0] == "package" ? yoxa::verify_package(arguments[1], arguments[2], trust, run, sleep)
                                                : yoxa::verify_checksum(arguments[1], arguments[2], run, sleep);

  yoxa::Json line = {{"ok", result.has_value()},
                     {"message", nullptr},
                     {"detail", nullptr},
                     {"signature_attempts", trust.file_checks},
                     {"checks", trust.checks},
                     {"checksum_runs", scripts.size()},
                     {"scripts", scripts},
                     {"waits", waits}};
  if (!result) {
    line["message"] = result.error().message();
    line["detail"] = result.error().detail();
  }
  yoxa::platform::write_standard_output(yoxa::to_wire(line) + "\n");
  yoxa::finish_logging();
  return 0;
}
