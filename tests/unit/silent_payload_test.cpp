#include "silent/silent_payload.h"

#include <gtest/gtest.h>

#include "core/base64.h"
#include "silent/session_relaunch.h"

namespace yoxa {
namespace {

SilentOptions options(SilentMode mode, std::vector<std::string> apps, std::optional<std::string> log,
                      std::optional<InstallScope> scope) {
  SilentOptions made;
  made.silent = true;
  made.mode = mode;
  made.apps = std::move(apps);
  made.log_directory = std::move(log);
  made.scope = scope;
  return made;
}

TEST(SilentPayload, EncodesByteExactAndParsesBack) {
  const struct {
    SilentOptions options;
    const char* text;
  } cases[] = {
      {options(SilentMode::Install, {"quill", "abacus"}, std::nullopt, std::nullopt), "SILENT:quill,abacus"},
      {options(SilentMode::Install, {"quill", "abacus"}, std::nullopt, InstallScope::Machine),
       "SILENT:quill,abacus||machine"},
      {options(SilentMode::Uninstall, {"folio"}, "C:\\Logs", std::nullopt), "UNINSTALL:folio|C:\\Logs"},
      {options(SilentMode::Install, {"lumen"}, "C:\\Temp\\Sil \u00e9", InstallScope::User),
       "SILENT:lumen|C:\\Temp\\Sil \u00e9|user"},
      {options(SilentMode::Uninstall, {}, std::nullopt, std::nullopt), "UNINSTALL:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(encode_silent_payload(c.options), c.text);
    const auto parsed = parse_silent_payload(c.text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->mode, c.options.mode);
    EXPECT_EQ(parsed->apps, c.options.apps);
    EXPECT_EQ(parsed->log_directory, c.options.log_directory);
    EXPECT_EQ(parsed->scope, c.options.scope);
    EXPECT_TRUE(parsed->silent);
  }
}

TEST(SilentPayload, ParsingIsLenientAboutWhatOthersWrite) {
  const struct {
    const char* text;
    std::vector<std::string> apps;
    std::optional<std::string> log;
    std::optional<InstallScope> scope;
  } cases[] = {
      {"SILENT: quill , ,abacus", {"quill", "abacus"}, std::nullopt, std::nullopt},
      {"SILENT:quill|", {"quill"}, std::nullopt, std::nullopt},
      {"SILENT:quill|| Machine ", {"quill"}, std::nullopt, InstallScope::Machine},
      {"SILENT:quill||all", {"quill"}, std::nullopt, std::nullopt},
      // Split at the first two bars only: a third one spoils the scope piece.
      {"SILENT:quill|D:\\L|machine|x", {"quill"}, "D:\\L", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto parsed = parse_silent_payload(c.text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->apps, c.apps);
    EXPECT_EQ(parsed->log_directory, c.log);
    EXPECT_EQ(parsed->scope, c.scope);
  }
  EXPECT_FALSE(parse_silent_payload("JSONRUN:install|q|quill|p"));
  EXPECT_FALSE(parse_silent_payload("silent:quill"));
  EXPECT_FALSE(parse_silent_payload(""));
}

TEST(SilentPayload, SessionCommandLineQuotesTheExeAndCarriesThePayloadUnpadded) {
  const SilentOptions given = options(SilentMode::Install, {"quill"}, std::nullopt, InstallScope::User);
  const std::string line = session_user_command_line("C:\\Program Files\\Yoxa\\engine.exe", given);
  const std::string head = "\"C:\\Program Files\\Yoxa\\engine.exe\" ";
  ASSERT_TRUE(line.starts_with(head));
  const std::string encoded = line.substr(head.size());
  EXPECT_EQ(encoded.find('='), std::string::npos);
  EXPECT_EQ(base64_decode_unpadded(encoded), "SILENT:quill||user");
}

}  // namespace
}  // namespace yoxa
