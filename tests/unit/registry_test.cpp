#include <gtest/gtest.h>

#include <stdlib.h>

#include <cerrno>
#include <fstream>
#include <tuple>

#include "fake_registry.h"
#include "platform/registry.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

using platform::RegistryHive;
using platform::RegistryValue;
using platform::RegistryView;
using Type = RegistryValue::Type;
using Names = std::vector<std::string>;

constexpr auto kMachine = RegistryHive::LocalMachine;
constexpr auto kUser = RegistryHive::CurrentUser;

auto fields(const RegistryValue& value) { return std::tie(value.type, value.text, value.number, value.bytes); }

// The directory-backed stand-in, seeded through its on-disk layout.
class DirectoryRegistry : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("YOXA_REGISTRY_ROOT", root_.str().c_str(), 1); }
  void TearDown() override { ::unsetenv("YOXA_REGISTRY_ROOT"); }

  void seed(const std::string& relative, std::string_view content) {
    const auto path = root_.path() / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }

  testing::TempDir root_;
  platform::Registry& registry_ = platform::system_registry();
};

TEST_F(DirectoryRegistry, ReadsEachTypeOfValue) {
  const std::string app = "HKLM/64/Software/Yoxa/App/";
  const struct {
    const char* file;
    std::string content;
    const char* name;
    RegistryValue expected;
  } cases[] = {
      {"@.sz", "default", "", {Type::String, "default", 0, ""}},
      {"Blob.binary", std::string("\0\x01\xff", 3), "Blob", {Type::Binary, "", 0, std::string("\0\x01\xff", 3)}},
      {"Count.dword", "4294967295\n", "Count", {Type::Dword, "", 4294967295u, ""}},
      {"Display.Name.sz", "caf\xc3\xa9\n", "Display.Name", {Type::String, "caf\xc3\xa9\n", 0, ""}},
      {"Langs.multi_sz", "en\nfr\n", "Langs", {Type::MultiString, "en\nfr", 0, ""}},
      {"Path.expand_sz", "%ProgramFiles%\\Yoxa", "Path", {Type::ExpandString, "%ProgramFiles%\\Yoxa", 0, ""}},
      {"Size.qword", "18446744073709551615", "Size", {Type::Qword, "", 18446744073709551615u, ""}},
  };
  for (const auto& c : cases) seed(app + c.file, c.content);
  seed(app + "notes.txt", "not a value");

  const auto listed = registry_.values(kMachine, RegistryView::Native, "Software\\Yoxa\\App");
  ASSERT_TRUE(listed && *listed);
  ASSERT_EQ((*listed)->size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ((**listed)[i].first, c.name);
    EXPECT_EQ(fields((**listed)[i].second), fields(c.expected)) << c.file;
    const auto read = registry_.value(kMachine, RegistryView::Bits64, "Software\\Yoxa\\App", c.name);
    ASSERT_TRUE(read && *read) << c.file;
    EXPECT_EQ(fields(**read), fields(c.expected)) << c.file;
  }
}

TEST_F(DirectoryRegistry, HivesAndViewsAreSeparateTrees) {
  seed("HKLM/64/Software/Yoxa/Only64.sz", "a");
  seed("HKLM/32/Software/Yoxa/Only32.sz", "b");
  seed("HKCU/64/Software/Yoxa/User.sz", "c");
  const struct {
    RegistryHive hive;
    RegistryView view;
    const char* name;
    bool present;
  } cases[] = {
      {kMachine, RegistryView::Native, "Only64", true},  {kMachine, RegistryView::Bits64, "Only64", true},
      {kMachine, RegistryView::Bits32, "Only64", false}, {kMachine, RegistryView::Bits32, "Only32", true},
      {kMachine, RegistryView::Native, "Only32", false}, {kMachine, RegistryView::Native, "User", false},
      {kUser, RegistryView::Native, "User", true},       {kUser, RegistryView::Bits32, "User", false},
  };
  for (const auto& c : cases) {
    const auto read = registry_.value(c.hive, c.view, "Software\\Yoxa", c.name);
    ASSERT_TRUE(read) << c.name;
    EXPECT_EQ(read->has_value(), c.present) << c.name << " view " << static_cast<int>(c.view);
  }
}

TEST_F(DirectoryRegistry, NamesMatchRegardlessOfCase) {
  seed("HKLM/64/SOFTWARE/Yoxa/Quill/DisplayVersion.sz", "2.0");
  seed("HKLM/64/SOFTWARE/Yoxa/abacus/@.sz", "");
  const auto read = registry_.value(kMachine, RegistryView::Native, "software\\YOXA\\quill", "displayVERSION");
  ASSERT_TRUE(read && *read);
  EXPECT_EQ((*read)->text, "2.0");
  EXPECT_EQ(registry_.subkeys(kMachine, RegistryView::Native, "Software\\yoxa").value(), (Names{"abacus", "Quill"}));
}

TEST_F(DirectoryRegistry, MissingKeyMissingValueAndEmptyKey) {
  std::filesystem::create_directories(root_.path() / "HKCU/64/Software/Empty");
  const auto view = RegistryView::Native;
  EXPECT_EQ(registry_.subkeys(kUser, view, "Software\\Empty").value(), Names{});
  EXPECT_EQ(registry_.values(kUser, view, "Software\\Empty").value().value().size(), 0u);
  EXPECT_EQ(registry_.value(kUser, view, "Software\\Empty", "Missing").value(), std::nullopt);
  EXPECT_EQ(registry_.subkeys(kUser, view, "Software\\Missing").value(), std::nullopt);
  EXPECT_FALSE(registry_.values(kUser, view, "Software\\Missing").value().has_value());
  EXPECT_FALSE(registry_.value(kUser, view, "Software\\Missing", "").value().has_value());

  ::unsetenv("YOXA_REGISTRY_ROOT");
  EXPECT_EQ(registry_.subkeys(kUser, view, "Software").value(), std::nullopt);
}

TEST_F(DirectoryRegistry, MalformedNumbersAreErrors) {
  const struct {
    const char* file;
    const char* content;
  } cases[] = {{"Word.dword", "12x"}, {"Word.dword", "4294967296"}, {"Word.dword", "-1"}, {"Word.qword", ""}};
  for (const auto& c : cases) {
    std::filesystem::remove_all(root_.path() / "HKLM");
    seed(std::string("HKLM/64/Bad/") + c.file, c.content);
    const auto read = registry_.value(kMachine, RegistryView::Native, "Bad", "Word");
    ASSERT_FALSE(read) << c.file << " " << c.content;
    EXPECT_EQ(read.error().code, static_cast<std::uint32_t>(EINVAL));
    EXPECT_FALSE(registry_.values(kMachine, RegistryView::Native, "Bad")) << c.content;
  }
}

TEST(FakeRegistry, ModelsBothViewsWithNativeAs64Bit) {
  testing::FakeRegistry fake;
  fake.set_string(kMachine, RegistryView::Bits32, "Software\\Yoxa", "V", "32")
      .set_string(kMachine, RegistryView::Native, "software\\yoxa", "v", "old")
      .set_string(kMachine, RegistryView::Bits64, "SOFTWARE\\Yoxa", "V", "64")
      .set_dword(kUser, RegistryView::Native, "Software\\Yoxa", "Count", 7)
      .add_key(kMachine, RegistryView::Bits32, "Software\\Yoxa\\Empty");

  const struct {
    RegistryHive hive;
    RegistryView view;
    const char* text;  // nullptr: no value V
  } cases[] = {
      {kMachine, RegistryView::Native, "64"}, {kMachine, RegistryView::Bits64, "64"},
      {kMachine, RegistryView::Bits32, "32"}, {kUser, RegistryView::Native, nullptr},
  };
  for (const auto& c : cases) {
    const auto read = fake.value(c.hive, c.view, "Software\\YOXA", "v");
    ASSERT_TRUE(read);
    ASSERT_EQ(read->has_value(), c.text != nullptr);
    if (c.text) {
      EXPECT_EQ((*read)->text, c.text);
    }
  }
  EXPECT_EQ(fake.values(kMachine, RegistryView::Bits64, "Software\\Yoxa").value().value().size(), 1u);
  EXPECT_EQ(fake.value(kUser, RegistryView::Bits64, "Software\\Yoxa", "count").value().value().number, 7u);
  EXPECT_FALSE(fake.value(kUser, RegistryView::Bits32, "Software\\Yoxa", "Count").value());

  EXPECT_EQ(fake.subkeys(kMachine, RegistryView::Bits64, "").value(), Names{"software"});
  EXPECT_EQ(fake.subkeys(kMachine, RegistryView::Bits32, "Software\\Yoxa").value(), Names{"Empty"});
  EXPECT_EQ(fake.values(kMachine, RegistryView::Bits32, "Software\\Yoxa\\Empty").value().value().size(), 0u);
  EXPECT_EQ(fake.subkeys(kMachine, RegistryView::Native, "Software\\Yoxa\\Empty").value(), std::nullopt);
}

TEST(FakeRegistry, FailingKeyReportsAccessDenied) {
  testing::FakeRegistry fake;
  const std::string locked = "Software\\Yoxa\\Locked";
  fake.set_string(kMachine, RegistryView::Bits64, locked, "V", "x")
      .add_key(kMachine, RegistryView::Bits64, "Software\\Yoxa\\Open")
      .fail_key(kMachine, RegistryView::Native, "software\\yoxa\\locked");
  EXPECT_EQ(fake.calls(), 0);

  const auto view = RegistryView::Bits64;
  const auto code = [](const auto& result) { return result ? 0u : result.error().code; };
  EXPECT_EQ(code(fake.subkeys(kMachine, view, locked)), 5u);
  EXPECT_EQ(code(fake.values(kMachine, view, locked)), 5u);
  EXPECT_EQ(code(fake.value(kMachine, view, locked, "V")), 5u);
  EXPECT_EQ(fake.subkeys(kMachine, view, "Software\\Yoxa").value(), (Names{"Locked", "Open"}));
  EXPECT_EQ(fake.value(kMachine, RegistryView::Bits32, locked, "V").value(), std::nullopt);
  EXPECT_EQ(fake.calls(), 5);
}

}  // namespace
}  // namespace yoxa
