#include <gtest/gtest.h>

#include "core/base64.h"
#include "core/text.h"
#include "core/windows_command_line.h"

namespace yoxa {
namespace {

TEST(Text, FormatFillsPlaceholdersInOrder) {
  EXPECT_EQ(format("a {} b {} c", 1, "two"), "a 1 b two c");
  EXPECT_EQ(format("{} left over {}", "x"), "x left over {}");
  EXPECT_EQ(format("flag={}", false), "flag=false");
}

TEST(Text, TrimRemovesUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trim("  quill\t\n"), "quill");
  EXPECT_EQ(trim("\u00A0\u3000folio\u2003"), "folio");
  EXPECT_EQ(trim(" a b "), "a b");
  EXPECT_EQ(trim("\u200B"), "\u200B");  // zero-width space is not white space
  EXPECT_EQ(trim("   "), "");
}

TEST(Text, SplitWhiteSpaceDropsEmptyWords) {
  using Words = std::vector<std::string>;
  EXPECT_EQ(split_white_space("  /install\t/quiet\r\n/norestart "), (Words{"/install", "/quiet", "/norestart"}));
  EXPECT_EQ(split_white_space("a\u3000b\u00a0c"), (Words{"a", "b", "c"}));
  EXPECT_EQ(split_white_space("bad\xff byte"), (Words{"bad\xff", "byte"}));
  EXPECT_TRUE(split_white_space(" \t ").empty());
  EXPECT_TRUE(split_white_space("").empty());
}

TEST(Text, Utf8ValidationAndLossyDecoding) {
  EXPECT_TRUE(is_valid_utf8("plain \u00E9\U0001F600"));
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF5\x80\x80\x80", "abc\xE2\x82"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
  EXPECT_EQ(utf8_lossy("a\xFF" "b"), "a\uFFFD" "b");
  EXPECT_EQ(utf8_lossy("ok\xE2\x82"), "ok\uFFFD");
}

TEST(Text, Utf16RoundTripAndLoneSurrogates) {
  const std::string text = "C:\\Users\\J\u00F6rg\\\U0001F600";
  EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(text)), text);
  EXPECT_EQ(utf16_to_utf8(std::u16string(1, char16_t(0xD800))), "\uFFFD");
}

TEST(Base64, RfcVectorsWithoutPadding) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""}, {"f", "Zg"}, {"fo", "Zm8"}, {"foo", "Zm9v"}, {"foob", "Zm9vYg"}, {"fooba", "Zm9vYmE"},
      {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64_encode_unpadded(plain), encoded);
    EXPECT_EQ(base64_decode_unpadded(encoded), plain);
  }
}

TEST(Base64, RejectsPaddingForeignCharactersAndImpossibleLengths) {
  for (const char* bad : {"Zg==", "Zm9v!", "Z", "Zm9vY", "Zh", "a-b_"}) {
    EXPECT_FALSE(base64_decode_unpadded(bad).has_value()) << bad;
  }
}

TEST(WindowsCommandLine, SplitsByTheRuntimeRules) {
  const struct {
    const char* line;
    std::vector<std::string> args;
  } cases[] = {
      {R"(prog a b)", {"prog", "a", "b"}},
      {R"("C:\Program Files\x.exe" "two words" plain)", {"C:\\Program Files\\x.exe", "two words", "plain"}},
      {R"(p a\\\"b)", {"p", "a\\\"b"}},
      {R"(p "a\\" b)", {"p", "a\\", "b"}},
      {R"(p a\b\\c)", {"p", "a\\b\\\\c"}},
      {R"(p "")", {"p", ""}},
      {R"(p "a""b")", {"p", "a\"b"}},
      {"p   \t  x  ", {"p", "x"}},
  };
  for (const auto& c : cases) EXPECT_EQ(split_windows_command_line(c.line), c.args) << c.line;
}

TEST(WindowsCommandLine, QuotingRoundTripsThroughTheSplitter) {
  const std::vector<std::string> args = {"", "plain", "two words", "trailing\\", "with \"quotes\"",
                                         "C:\\Dir With Space\\", "a\\\\\"b", "echo %date% %time%"};
  const auto parsed = split_windows_command_line(build_windows_command_line("C:\\p.exe", args));
  ASSERT_EQ(parsed.size(), args.size() + 1);
  EXPECT_EQ(parsed[0], "C:\\p.exe");
  for (std::size_t i = 0; i < args.size(); ++i) EXPECT_EQ(parsed[i + 1], args[i]);
}

}  // namespace
}  // namespace yoxa
