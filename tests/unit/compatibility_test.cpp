#include <gtest/gtest.h>

#include <optional>

#include "core/messages.h"
#include "core/text.h"
#include "fake_registry.h"
#include "system/compatibility.h"
#include "core/log.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

using platform::RegistryHive;
using platform::RegistryValue;
using platform::RegistryView;
using Type = RegistryValue::Type;

constexpr auto kMachine = RegistryHive::LocalMachine;
constexpr const char* kVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* kEnvironmentKey = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

using testing::logged_by;

// The messages logged at `level` ("INFO", "WARN"), in order.
std::vector<std::string> messages(const std::string& log, std::string_view level) {
  std::vector<std::string> found;
  for (const auto& line : split(log, '\n')) {
    const auto end = line.find("] ");
    if (line.starts_with("[" + std::string(level)) && end != std::string::npos) found.push_back(line.substr(end + 2));
  }
  return found;
}

RegistryValue text_value(Type type, std::string text) {
  RegistryValue value;
  value.type = type;
  value.text = std::move(text);
  return value;
}

TEST(WindowsBuild, ParsesTheBuildNumberString) {
  const struct {
    RegistryValue stored;
    std::optional<std::uint32_t> build;  // none: the compatibility error
  } cases[] = {
      {text_value(Type::String, "22631"), 22631},
      {text_value(Type::ExpandString, "+17763"), 17763},
      {text_value(Type::String, std::string("19045\0", 6)), 19045},
      {text_value(Type::String, "4294967295"), 4294967295u},
      {text_value(Type::String, "1776a"), std::nullopt},
      {text_value(Type::String, "-17763"), std::nullopt},
      {text_value(Type::String, " 17763"), std::nullopt},
      {text_value(Type::String, "4294967296"), std::nullopt},
      {text_value(Type::String, ""), std::nullopt},
      {text_value(Type::String, "+"), std::nullopt},
      {RegistryValue{Type::Dword, "", 22631, ""}, std::nullopt},
  };
  for (const auto& c : cases) {
    testing::FakeRegistry registry;
    registry.set(kMachine, RegistryView::Bits64, kVersionKey, "CurrentBuildNumber", c.stored)
        .set_dword(kMachine, RegistryView::Bits64, kVersionKey, "CurrentMajorVersionNumber", 10)
        .set_dword(kMachine, RegistryView::Bits64, kVersionKey, "CurrentMinorVersionNumber", 0);
    const auto build = windows_build(registry);
    if (c.build) {
      EXPECT_EQ(build, *c.build) << c.stored.text;
    } else {
      ASSERT_FALSE(build) << c.stored.text;
      EXPECT_EQ(build.error().message(), msg::kCompatibilityCheckProblem);
      EXPECT_FALSE(build.error().detail().empty());
    }
  }
}

TEST(WindowsBuild, MissingOrLockedKeyIsTheCompatibilityError) {
  testing::FakeRegistry only_32_bit;
  only_32_bit.set_string(kMachine, RegistryView::Bits32, kVersionKey, "CurrentBuildNumber", "22631");
  testing::FakeRegistry locked;
  locked.set_string(kMachine, RegistryView::Bits64, kVersionKey, "CurrentBuildNumber", "22631")
      .fail_key(kMachine, RegistryView::Bits64, kVersionKey);
  for (testing::FakeRegistry* registry : {&only_32_bit, &locked}) {
    const auto build = windows_build(*registry);
    ASSERT_FALSE(build);
    EXPECT_EQ(build.error().message(), msg::kCompatibilityCheckProblem);
  }
  EXPECT_EQ(windows_build(locked).error().detail(), testing::FakeRegistry::access_denied().text);
}

TEST(WindowsBuild, LogsMajorAndMinorWithDefaultsForMissingValues) {
  const struct {
    std::optional<std::uint32_t> major, minor;
    bool major_as_text;
    std::vector<std::string> warnings;
    const char* info;
  } cases[] = {
      {10, 0, false, {}, "Windows version info: Major=10, Minor=0, Build=22631"},
      {6, 3, false, {}, "Windows version info: Major=6, Minor=3, Build=22631"},
      {std::nullopt,
       0,
       false,
       {"CurrentMajorVersionNumber not found, defaulting to 10"},
       "Windows version info: Major=10, Minor=0, Build=22631"},
      {std::nullopt,
       std::nullopt,
       false,
       {"CurrentMajorVersionNumber not found, defaulting to 10",
        "CurrentMinorVersionNumber not found, defaulting to 0"},
       "Windows version info: Major=10, Minor=0, Build=22631"},
      {11,
       2,
       true,
       {"CurrentMajorVersionNumber not found, defaulting to 10"},
       "Windows version info: Major=10, Minor=2, Build=22631"},
  };
  for (const auto& c : cases) {
    testing::FakeRegistry registry;
    registry.set_string(kMachine, RegistryView::Bits64, kVersionKey, "CurrentBuildNumber", "22631");
    if (c.major && c.major_as_text) {
      registry.set_string(kMachine, RegistryView::Bits64, kVersionKey, "CurrentMajorVersionNumber",
                          std::to_string(*c.major));
    } else if (c.major) {
      registry.set_dword(kMachine, RegistryView::Bits64, kVersionKey, "CurrentMajorVersionNumber", *c.major);
    }
    if (c.minor) registry.set_dword(kMachine, RegistryView::Bits64, kVersionKey, "CurrentMinorVersionNumber", *c.minor);

    Result<std::uint32_t> build = 0;
    const std::string log = logged_by([&] { build = windows_build(registry); });
    EXPECT_EQ(build, 22631u);
    EXPECT_EQ(messages(log, "WARN"), c.warnings) << log;
    EXPECT_EQ(messages(log, "INFO"), std::vector<std::string>{c.info}) << log;
  }
}

TEST(ProcessorArchitecture, ReadsTheMachineEnvironmentValue) {
  constexpr const char* kCouldNot = "Could not determine system architecture.";
  const struct {
    std::optional<RegistryValue> stored;
    ProcessorArch arch;
    std::vector<std::string> infos;
    std::vector<std::string> warnings;
  } cases[] = {
      {text_value(Type::String, "AMD64"), ProcessorArch::X64, {"Detected Architecture: AMD64"}, {}},
      {text_value(Type::String, "amd64"), ProcessorArch::X64, {"Detected Architecture: amd64"}, {}},
      {text_value(Type::ExpandString, "ARM64"), ProcessorArch::Arm64, {"Detected Architecture: ARM64"}, {}},
      {text_value(Type::String, "x86"), ProcessorArch::X86, {"Detected Architecture: x86"}, {}},
      {text_value(Type::String, std::string("AMD64\0", 6)), ProcessorArch::X64, {"Detected Architecture: AMD64"}, {}},
      {text_value(Type::String, "IA64"),
       ProcessorArch::Unknown,
       {"Detected Architecture: IA64"},
       {"Unknown architecture in registry: IA64", kCouldNot}},
      {text_value(Type::String, "AMD64 "),
       ProcessorArch::Unknown,
       {"Detected Architecture: AMD64 "},
       {"Unknown architecture in registry: AMD64 ", kCouldNot}},
      {text_value(Type::String, ""), ProcessorArch::Unknown, {}, {kCouldNot}},
      {RegistryValue{Type::Dword, "", 9, ""}, ProcessorArch::Unknown, {}, {kCouldNot}},
      {std::nullopt, ProcessorArch::Unknown, {}, {kCouldNot}},
  };
  for (const auto& c : cases) {
    testing::FakeRegistry registry;
    // The process environment and the 32-bit view do not count.
    registry.set_string(kMachine, RegistryView::Bits32, kEnvironmentKey, "PROCESSOR_ARCHITECTURE", "x86");
    if (c.stored) registry.set(kMachine, RegistryView::Bits64, kEnvironmentKey, "PROCESSOR_ARCHITECTURE", *c.stored);
    ProcessorArch arch = ProcessorArch::X86;
    const std::string log = logged_by([&] { arch = processor_architecture(registry); });
    const std::string stored = c.stored ? c.stored->text : "(none)";
    EXPECT_EQ(arch, c.arch) << stored;
    EXPECT_EQ(messages(log, "INFO"), c.infos) << stored << "\n" << log;
    EXPECT_EQ(messages(log, "WARN"), c.warnings) << stored << "\n" << log;
  }
}

TEST(ProcessorArchitecture, LockedKeyIsUnknown) {
  testing::FakeRegistry registry;
  registry.set_string(kMachine, RegistryView::Bits64, kEnvironmentKey, "PROCESSOR_ARCHITECTURE", "AMD64")
      .fail_key(kMachine, RegistryView::Bits64, kEnvironmentKey);
  EXPECT_EQ(processor_architecture(registry), ProcessorArch::Unknown);
}

TEST(ProcessorArchitecture, DisplayTexts) {
  const std::pair<ProcessorArch, const char*> cases[] = {
      {ProcessorArch::X86, "x86"},
      {ProcessorArch::X64, "x64"},
      {ProcessorArch::Arm64, "arm64"},
      {ProcessorArch::Unknown, "unknown"},
  };
  for (const auto& [arch, text] : cases) EXPECT_EQ(display_text(arch), text);
}

}  // namespace
}  // namespace yoxa
