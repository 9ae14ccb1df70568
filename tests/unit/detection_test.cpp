#include <gtest/gtest.h>

#include <deque>
#include <set>
#include <utility>
#include <vector>

#include "core/messages.h"
#include "core/text.h"
#include "fake_registry.h"
#include "system/detection.h"
#include "core/log.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

using platform::RegistryHive;
using platform::RegistryView;
using Strings = std::vector<std::pair<std::string, std::string>>;

constexpr auto kMachine = RegistryHive::LocalMachine;
constexpr auto kUser = RegistryHive::CurrentUser;

constexpr const char* kUpgradeCode = "A1B2C3D4E5F60718293A4B5C6D7E8F90";
// Packed product codes with their braced forms, worked out by hand.
constexpr const char* kPacked1 = "C3A2B1F6E5D406F41827394A5B6C7D8E";
constexpr const char* kBraced1 = "{6F1B2A3C-4D5E-4F60-8172-93A4B5C6D7E8}";
constexpr const char* kPacked2 = "00112233445566778899AABBCCDDEEFF";
constexpr const char* kBraced2 = "{33221100-5544-7766-8899-AABBCCDDEEFF}";

constexpr const char* kPackages =
    "Software\\Classes\\Local Settings\\Software\\Microsoft\\Windows\\CurrentVersion\\AppModel\\Repository\\Packages";
constexpr const char* kFamily = "YoxaCorporation.YoxaAbacus_v4x2s8k1qa0mt";
constexpr const char* kAppxQuery =
    "Appx\\Get-AppxPackage -Name 'YoxaCorporation.YoxaAbacus*' | Microsoft.PowerShell.Utility\\Select-Object "
    "-ExpandProperty Version -First 1";
constexpr const char* kProvisionedQuery =
    "Dism\\Get-AppxProvisionedPackage -Online | Microsoft.PowerShell.Core\\Where-Object { $_.DisplayName -eq "
    "'YoxaCorporation.YoxaAbacus' } | Microsoft.PowerShell.Utility\\Select-Object -ExpandProperty DisplayName "
    "-First 1";

constexpr AppDescriptor kMsiApp{"quill", "Yoxa Quill", "10", kUpgradeCode, "Yoxa Quill", "", "msi", "YoxaQuill", 0,
                                InstallerKind::Msi, false, false};
constexpr AppDescriptor kMsixApp{"abacus", "Yoxa Abacus", "20", "", "", kFamily, "msix", "YoxaAbacus", 0,
                                 InstallerKind::Msix, false, false};

std::string upgrade_key(RegistryHive hive) {
  return std::string(hive == kMachine ? "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes\\"
                                      : "Software\\Microsoft\\Installer\\UpgradeCodes\\") +
         kUpgradeCode;
}
std::string uninstall_key(const std::string& subkey) {
  return "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + subkey;
}
std::string package_key(const std::string& full_name) { return std::string(kPackages) + "\\" + full_name; }

using testing::logged_by;

// Where `message` was logged at `level` ("INFO", "WARN"); npos when it was not.
std::size_t line_at(const std::string& log, std::string_view level, std::string_view message) {
  std::size_t at = 0;
  for (const auto& line : split(log, '\n')) {
    if (line.starts_with("[" + std::string(level)) && line.ends_with("] " + std::string(message))) return at;
    at += line.size() + 1;
  }
  return std::string::npos;
}

// A machine as detection sees it: the registry, the files and folders that exist, and a
// PowerShell that records each script and gives the next canned answer.
struct Machine {
  testing::FakeRegistry registry;
  std::set<std::string> paths;
  std::deque<Result<std::string>> answers;
  std::vector<std::pair<std::string, std::uint32_t>> scripts;

  DetectionContext ctx() {
    return {&registry,
            [this](const std::string& script, std::uint32_t limit) -> Result<std::string> {
              scripts.emplace_back(script, limit);
              if (answers.empty()) return fail("no answer scripted", script, 0);
              auto answer = std::move(answers.front());
              answers.pop_front();
              return answer;
            },
            [this](const std::string& path) { return paths.contains(path); },
            [this](const std::string& path) { return paths.contains(path); }};
  }

  Machine& strings(RegistryHive hive, RegistryView view, const std::string& key, const Strings& values) {
    registry.add_key(hive, view, key);
    for (const auto& [name, text] : values) registry.set_string(hive, view, key, name, text);
    return *this;
  }
  // The product `packed` under the test upgrade code, with its Uninstall entry, in one hive and view.
  Machine& msi_product(RegistryHive hive, RegistryView view, const std::string& packed, const std::string& braced,
                       const Strings& entry) {
    registry.set_string(hive, view, upgrade_key(hive), packed, "");
    return strings(hive, view, uninstall_key(braced), entry);
  }
  Machine& uninstall_entry(RegistryHive hive, RegistryView view, const std::string& subkey, const Strings& entry) {
    return strings(hive, view, uninstall_key(subkey), entry);
  }
  Machine& package(const std::string& full_name, std::optional<std::string> root_folder = std::nullopt) {
    registry.add_key(kUser, RegistryView::Native, package_key(full_name));
    if (root_folder) {
      registry.set_string(kUser, RegistryView::Native, package_key(full_name), "PackageRootFolder", *root_folder);
    }
    return *this;
  }
};

TEST(UnpackGuid, ReversesEachGroupAndRejectsMalformedCodes) {
  const struct {
    std::string packed;
    std::expected<std::string, std::string> unpacked;
  } cases[] = {
      {kPacked1, kBraced1},
      {kPacked2, kBraced2},
      {"c3a2b1f6e5d406f41827394a5b6c7d8e", "{6f1b2a3c-4d5e-4f60-8172-93a4b5c6d7e8}"},
      {"C3A2B1F6E5D406F41827394A5B6C7D8", std::unexpected("Invalid prdcode length 31 vs 32 for "
                                                          "'C3A2B1F6E5D406F41827394A5B6C7D8'")},
      {"", std::unexpected("Invalid prdcode length 0 vs 32 for ''")},
      {"G3A2B1F6E5D406F41827394A5B6C7D8E", std::unexpected("Packed prdcode 'G3A2B1F6E5D406F41827394A5B6C7D8E' "
                                                           "contains non-hex characters")},
      {"C3A2B1F6-5D406F41827394A5B6C7D8E", std::unexpected("Packed prdcode 'C3A2B1F6-5D406F41827394A5B6C7D8E' "
                                                           "contains non-hex characters")},
      // 32 characters in 33 bytes: the length counts characters.
      {"\xc3\xa9"
       "3A2B1F6E5D406F41827394A5B6C7D8E",
       std::unexpected("Packed prdcode '\xc3\xa9"
                       "3A2B1F6E5D406F41827394A5B6C7D8E' contains non-hex characters")},
  };
  for (const auto& c : cases) EXPECT_EQ(unpack_guid(c.packed), c.unpacked) << c.packed;
}

TEST(CompareVersions, ComparesNumericComponentsPaddedWithZeros) {
  using enum VersionOrder;
  const struct {
    const char* a;
    const char* b;
    VersionOrder order;
  } cases[] = {
      {"2.0", "10.0", Less},
      {"1.0.0", "1", Equal},
      {"1.10", "1.9", Greater},
      {"+1", "1", Equal},
      {"1.+2", "1.2.0.0", Equal},
      {"1.2", "1.2.0.1", Less},
      {"007.1", "7.1", Equal},
      {"4294967295", "4294967294", Greater},
      {"16.0.17328.20000", "16.0.17328.19999", Greater},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(compare_versions(c.a, c.b), c.order) << c.a << " vs " << c.b;
    const VersionOrder reversed = c.order == Less ? Greater : c.order == Greater ? Less : Equal;
    EXPECT_EQ(compare_versions(c.b, c.a), reversed) << c.b << " vs " << c.a;
  }
}

TEST(CompareVersions, MalformedTextIsAParseError) {
  for (const char* bad : {"", "1..2", "1.", ".1", "1.a", "1-2", "-1", "+", "++1", " 1", "1 ", "4294967296",
                          "99999999999999999999", "1.0x10", "\xd9\xa1"}) {
    for (const auto& [a, b] : {std::pair<std::string_view, std::string_view>{bad, "1"}, {"1", bad}}) {
      const auto result = compare_versions(a, b);
      ASSERT_FALSE(result) << "'" << a << "' vs '" << b << "'";
      EXPECT_EQ(result.error(), "version parse error");
    }
  }
}

TEST(UpgradeCodeLookup, RootListsDecideWhereAProductIsSeen) {
  const struct {
    RegistryHive hive;
    RegistryView view;
    bool any, machine, user;
  } cases[] = {
      {kMachine, RegistryView::Bits64, true, true, false},
      {kUser, RegistryView::Native, true, false, true},
      // Upgrade-code lookups read the 64-bit view only.
      {kMachine, RegistryView::Bits32, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "hive " << int(c.hive) << " view " << int(c.view));
    Machine m;
    m.msi_product(c.hive, c.view, kPacked1, kBraced1,
                  {{"DisplayVersion", "16.2.1"},
                   {"UninstallString", "MsiExec.exe /X{6F1B2A3C-4D5E-4F60-8172-93A4B5C6D7E8}"},
                   {"InstallLocation", ""},
                   {"DisplayIcon", "C:\\Yoxa\\Quill.exe,0"}});
    for (const auto& [scope, found] :
         {std::pair{RootScope::Any, c.any}, {RootScope::MachineOnly, c.machine}, {RootScope::UserOnly, c.user}}) {
      const auto result = find_by_upgrade_code(m.ctx(), kUpgradeCode, upgrade_code_roots(scope));
      ASSERT_TRUE(result) << result.error().full_text();
      ASSERT_EQ(result->has_value(), found) << "scope " << int(scope);
      if (!found) continue;
      const InstalledProduct& product = **result;
      EXPECT_EQ(product.key, kBraced1);
      EXPECT_EQ(product.version, "16.2.1");
      EXPECT_EQ(product.uninstall_string, "MsiExec.exe /X{6F1B2A3C-4D5E-4F60-8172-93A4B5C6D7E8}");
      EXPECT_EQ(product.quiet_uninstall_string, std::nullopt);
      EXPECT_EQ(product.install_location, std::nullopt) << "empty counts as absent";
      EXPECT_EQ(product.display_icon, "C:\\Yoxa\\Quill.exe,0");
    }
    EXPECT_EQ(installed_version(m.ctx(), kMsiApp), c.any ? std::optional<std::string>("16.2.1") : std::nullopt);
    EXPECT_EQ(installed_machine_wide(m.ctx(), kMsiApp), c.machine);
  }
}

TEST(UpgradeCodeLookup, SkipsProductsWithoutAVersionAndTakesTheNext) {
  const struct {
    const char* what;
    void (*seed_first)(Machine&);
  } cases[] = {
      {"no DisplayVersion",
       [](Machine& m) {
         m.uninstall_entry(kMachine, RegistryView::Bits64, kBraced1, {{"DisplayName", "Yoxa Quill"}});
       }},
      {"empty DisplayVersion",
       [](Machine& m) {
         m.uninstall_entry(kMachine, RegistryView::Bits64, kBraced1, {{"DisplayVersion", ""}});
       }},
      {"numeric DisplayVersion",
       [](Machine& m) {
         m.registry.set_dword(kMachine, RegistryView::Bits64, uninstall_key(kBraced1), "DisplayVersion", 1);
       }},
      {"no Uninstall entry", [](Machine&) {}},
  };
  for (const auto& c : cases) {
    Machine m;
    // The default value and a stray default-looking name come first in enumeration order.
    m.registry.set_string(kMachine, RegistryView::Bits64, upgrade_key(kMachine), "", "");
    m.registry.set_string(kMachine, RegistryView::Bits64, upgrade_key(kMachine), kPacked1, "");
    c.seed_first(m);
    m.msi_product(kMachine, RegistryView::Bits64, kPacked2, kBraced2, {{"DisplayVersion", "2.0"}});
    const auto result = find_by_upgrade_code(m.ctx(), kUpgradeCode, upgrade_code_roots(RootScope::Any));
    ASSERT_TRUE(result && *result) << c.what;
    EXPECT_EQ((*result)->key, kBraced2) << c.what;
    EXPECT_EQ((*result)->version, "2.0") << c.what;
  }
}

TEST(UpgradeCodeLookup, OneUnreadableValueIsSkippedWithItsWarning) {
  Machine m;
  m.registry.set_string(kMachine, RegistryView::Bits64, upgrade_key(kMachine), kPacked1, "");
  m.registry.fail_value(kMachine, RegistryView::Bits64, upgrade_key(kMachine), kPacked1);
  m.msi_product(kMachine, RegistryView::Bits64, kPacked2, kBraced2, {{"DisplayVersion", "2.0"}});
  Result<std::optional<InstalledProduct>> result = std::nullopt;
  const std::string log = logged_by([&] { result = find_by_upgrade_code(m.ctx(), kUpgradeCode, upgrade_code_roots(RootScope::Any)); });
  ASSERT_TRUE(result && *result);
  EXPECT_EQ((*result)->key, kBraced2);
  EXPECT_NE(line_at(log, "WARN", "failed to read value from upgrade subkey: " + testing::FakeRegistry::access_denied().text),
            std::string::npos);
}

TEST(UpgradeCodeLookup, ShortPackedCodeIsLoggedThenTheNameFallbackAnswers) {
  Machine m;
  m.registry.set_string(kMachine, RegistryView::Bits64, upgrade_key(kMachine), "C3A2B1F6E5D406F41827394A5B6C7D8", "");
  m.uninstall_entry(kMachine, RegistryView::Bits64, "YoxaQuill",
                    {{"DisplayName", "Yoxa Quill"}, {"Publisher", "Yoxa"}, {"DisplayVersion", "4.0"}});

  std::optional<std::string> version;
  const std::string log = logged_by([&] { version = installed_version(m.ctx(), kMsiApp); });
  EXPECT_EQ(version, "4.0");
  const auto warning = line_at(log, "WARN",
                               "Failed to unmangle prd code: Invalid prdcode length 31 vs 32 for "
                               "'C3A2B1F6E5D406F41827394A5B6C7D8'");
  const auto none = line_at(log, "INFO", "No previous installation detected under this upgrade code");
  const auto fallback = line_at(log, "INFO", "Yoxa Quill: detected installed version 4.0 (name fallback)");
  ASSERT_NE(warning, std::string::npos) << log;
  ASSERT_NE(none, std::string::npos) << log;
  ASSERT_NE(fallback, std::string::npos) << log;
  EXPECT_LT(warning, none);
  EXPECT_LT(none, fallback);
}

TEST(UpgradeCodeLookup, ThirtyTwoBitOnlyEntryIsFoundByNameOnly) {
  Machine m;
  m.registry.set_string(kMachine, RegistryView::Bits64, upgrade_key(kMachine), kPacked1, "");
  m.uninstall_entry(kMachine, RegistryView::Bits32, kBraced1,
                    {{"DisplayName", "Yoxa Quill"}, {"Publisher", "Yoxa Corporation"}, {"DisplayVersion", "3.1"}});

  const auto by_code = find_by_upgrade_code(m.ctx(), kUpgradeCode, upgrade_code_roots(RootScope::Any));
  ASSERT_TRUE(by_code);
  EXPECT_FALSE(*by_code);
  const auto by_name = find_by_product_name(m.ctx(), "Yoxa Quill", product_name_roots(RootScope::Any));
  ASSERT_TRUE(by_name);
  EXPECT_EQ(by_name->key, kBraced1);
  EXPECT_EQ(by_name->version, "3.1");
  EXPECT_EQ(installed_version(m.ctx(), kMsiApp), "3.1");
  EXPECT_TRUE(installed_machine_wide(m.ctx(), kMsiApp));
}

TEST(UpgradeCodeLookup, AccessDeniedIsAnErrorAndDetectionFallsBackToTheName) {
  for (const std::string& locked : {upgrade_key(kMachine), uninstall_key(kBraced1)}) {
    SCOPED_TRACE(locked);
    Machine m;
    m.msi_product(kMachine, RegistryView::Bits64, kPacked1, kBraced1, {{"DisplayVersion", "1.0"}});
    m.uninstall_entry(kMachine, RegistryView::Bits32, "Yoxa Quill",
                      {{"DisplayName", "Yoxa Quill"}, {"DisplayVersion", "0.9"}});
    m.registry.fail_key(kMachine, RegistryView::Bits64, locked);

    const auto result = find_by_upgrade_code(m.ctx(), kUpgradeCode, upgrade_code_roots(RootScope::Any));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), msg::kPreviousInstallationProblem);
    EXPECT_EQ(result.error().detail(), testing::FakeRegistry::access_denied().text);

    std::optional<std::string> version;
    const std::string log = logged_by([&] { version = installed_version(m.ctx(), kMsiApp); });
    EXPECT_EQ(version, "0.9");
    EXPECT_NE(line_at(log, "WARN", "Yoxa Quill: registry detection failed: " + result.error().full_text()),
              std::string::npos)
        << log;
  }
}

TEST(ProductNameLookup, MatchesDisplayNamePrefixFromOurPublisherOnly) {
  const struct {
    std::string display_name;
    std::optional<std::string> publisher;
    bool matches;
  } cases[] = {
      {"Yoxa Quill", "Yoxa Corporation", true},
      {"Yoxa Quill Professional 2024", "Yoxa Corporation", true},
      {"YOXA QUILL", "YOXA LTD", true},
      {"Yoxa Quill", std::nullopt, true},
      {"Yoxa Quill", "Other Software Works", false},
      {"Yoxa Quill", "", false},
      {"Yoxa Quil", "Yoxa Corporation", false},
      {"The Yoxa Quill", "Yoxa Corporation", false},
      {"", "Yoxa Corporation", false},
  };
  for (const auto& c : cases) {
    Machine m;
    Strings entry = {{"DisplayName", c.display_name}, {"DisplayVersion", "7.1"}};
    if (c.publisher) entry.emplace_back("Publisher", *c.publisher);
    m.uninstall_entry(kMachine, RegistryView::Bits64, "QuillEntry", entry);
    const auto found = find_by_product_name(m.ctx(), "Yoxa Quill", product_name_roots(RootScope::Any));
    ASSERT_EQ(found.has_value(), c.matches) << c.display_name << " / " << c.publisher.value_or("(none)");
    if (found) {
      EXPECT_EQ(found->key, "QuillEntry");
      EXPECT_EQ(found->version, "7.1");
    }
  }
}

TEST(ProductNameLookup, VersionRulesAndUnreadableKeys) {
  Machine m;
  // Enumeration order: a locked key, an entry without a version, then one with an empty version.
  m.uninstall_entry(kMachine, RegistryView::Bits64, "A-Locked",
                    {{"DisplayName", "Yoxa Quill"}, {"DisplayVersion", "9"}});
  m.registry.fail_key(kMachine, RegistryView::Bits64, uninstall_key("A-Locked"));
  m.uninstall_entry(kMachine, RegistryView::Bits64, "B-NoVersion", {{"DisplayName", "Yoxa Quill"}});
  m.uninstall_entry(kMachine, RegistryView::Bits64, "C-EmptyVersion",
                    {{"DisplayName", "Yoxa Quill"},
                     {"DisplayVersion", ""},
                     {"QuietUninstallString", "C:\\Yoxa\\uninstall.exe /quiet"},
                     {"DisplayIcon", ""}});
  const auto found = find_by_product_name(m.ctx(), "yoxa quill", product_name_roots(RootScope::Any));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->key, "C-EmptyVersion");
  EXPECT_EQ(found->version, "");
  EXPECT_EQ(found->quiet_uninstall_string, "C:\\Yoxa\\uninstall.exe /quiet");
  EXPECT_EQ(found->display_icon, std::nullopt);
}

TEST(ProductNameLookup, RootsInOrderAndAnUnreadableRootIsSkipped) {
  Machine m;
  m.uninstall_entry(kMachine, RegistryView::Bits64, "M64", {{"DisplayName", "Yoxa Quill"}, {"DisplayVersion", "64"}});
  m.uninstall_entry(kMachine, RegistryView::Bits32, "M32", {{"DisplayName", "Yoxa Quill"}, {"DisplayVersion", "32"}});
  m.uninstall_entry(kUser, RegistryView::Native, "U", {{"DisplayName", "Yoxa Quill"}, {"DisplayVersion", "user"}});
  const auto version = [&](RootScope scope) {
    const auto found = find_by_product_name(m.ctx(), "Yoxa Quill", product_name_roots(scope));
    return found ? found->version : "none";
  };
  EXPECT_EQ(version(RootScope::Any), "64");
  EXPECT_EQ(version(RootScope::UserOnly), "user");
  m.registry.fail_key(kMachine, RegistryView::Bits64, uninstall_key(""));
  EXPECT_EQ(version(RootScope::Any), "32");
  EXPECT_EQ(version(RootScope::MachineOnly), "32");
}

TEST(AfterRemovalLookup, ReadErrorsAreNoAnswerAndEveryProductUnderTheCodeCounts) {
  Machine m;
  m.uninstall_entry(kUser, RegistryView::Native, "Quill", {{"DisplayName", "Yoxa Quill"}, {"DisplayVersion", "1"}});
  const auto registered = [&](RootScope scope) { return product_name_registered(m.ctx(), "Yoxa Quill",
                                                                                product_name_roots(scope)); };
  ASSERT_TRUE(registered(RootScope::UserOnly));
  EXPECT_TRUE(*registered(RootScope::UserOnly));
  ASSERT_TRUE(registered(RootScope::MachineOnly));
  EXPECT_FALSE(*registered(RootScope::MachineOnly));

  // An unreadable root or entry: the lenient lookup passes over it, this one does not.
  m.registry.fail_key(kMachine, RegistryView::Bits64, uninstall_key(""));
  EXPECT_FALSE(find_by_product_name(m.ctx(), "Yoxa Quill", product_name_roots(RootScope::MachineOnly)));
  EXPECT_FALSE(registered(RootScope::MachineOnly));
  m.registry.fail_key(kUser, RegistryView::Native, uninstall_key("Quill"));
  EXPECT_FALSE(registered(RootScope::UserOnly));

  Machine two;
  two.msi_product(kMachine, RegistryView::Bits64, kPacked1, kBraced1, {{"DisplayVersion", "1.0"}});
  two.msi_product(kMachine, RegistryView::Bits64, kPacked2, kBraced2, {{"DisplayVersion", "2.0"}});
  const auto all = products_by_upgrade_code(two.ctx(), kUpgradeCode, upgrade_code_roots(RootScope::MachineOnly));
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 2u);
  EXPECT_EQ((*all)[0].key, kBraced1);
  EXPECT_EQ((*all)[1].key, kBraced2);
  two.registry.fail_key(kMachine, RegistryView::Bits64, uninstall_key(kBraced2));
  EXPECT_FALSE(products_by_upgrade_code(two.ctx(), kUpgradeCode, upgrade_code_roots(RootScope::MachineOnly)));
}

TEST(ProductNameLookup, EmptyNameLeavesTheRegistryAlone) {
  Machine m;
  m.uninstall_entry(kMachine, RegistryView::Bits64, "X", {{"DisplayName", "Anything"}, {"DisplayVersion", "1"}});
  EXPECT_FALSE(find_by_product_name(m.ctx(), "", product_name_roots(RootScope::Any)));
  EXPECT_EQ(m.registry.calls(), 0);
}

const std::string kEntry1 = "YoxaCorporation.YoxaAbacus_1.0.0.0_x64__v4x2s8k1qa0mt";
const std::string kEntry2 = "YoxaCorporation.YoxaAbacus_2.0.0.0_x64__v4x2s8k1qa0mt";
const std::string kGone = "C:\\Program Files\\WindowsApps\\gone";
const std::string kHere = "C:\\Program Files\\WindowsApps\\here";

TEST(MsixRepository, FirstLiveEntryWinsAndOnlyTombstonesAreInconclusive) {
  using enum MsixRepositoryAnswer;
  const struct {
    const char* what;
    void (*seed)(Machine&);
    MsixRepositoryAnswer answer;
    const char* version;
    bool tombstone_logged;
  } cases[] = {
      {"no repository", [](Machine&) {}, Inconclusive, "", false},
      {"empty repository", [](Machine& m) { m.registry.add_key(kUser, RegistryView::Native, kPackages); }, NotInstalled,
       "", false},
      {"live entry", [](Machine& m) { m.package(kEntry1, kHere); }, Found, "1.0.0.0", false},
      {"no root folder", [](Machine& m) { m.package(kEntry1); }, Found, "1.0.0.0", false},
      {"blank root folder", [](Machine& m) { m.package(kEntry1, " \t"); }, Found, "1.0.0.0", false},
      {"unreadable entry",
       [](Machine& m) {
         m.package(kEntry1, kGone);
         m.registry.fail_key(kUser, RegistryView::Native, package_key(kEntry1));
       },
       Found, "1.0.0.0", false},
      {"only a tombstone", [](Machine& m) { m.package(kEntry1, kGone); }, Inconclusive, "", true},
      {"tombstone then live", [](Machine& m) { m.package(kEntry1, kGone).package(kEntry2, kHere); }, Found, "2.0.0.0",
       true},
      {"live then tombstone", [](Machine& m) { m.package(kEntry1, kHere).package(kEntry2, kGone); }, Found, "1.0.0.0",
       false},
      {"other packages only",
       [](Machine& m) {
         m.package("YoxaCorporation.YoxaAbacusBeta_9.0.0.0_x64__v4x2s8k1qa0mt", kHere)
             .package("YoxaCorporation.YoxaAbacus__x64__v4x2s8k1qa0mt", kHere)
             .package("Yoxa.Other_1.0.0.0_x64__v4x2s8k1qa0mt", kHere);
       },
       NotInstalled, "", false},
  };
  for (const auto& c : cases) {
    Machine m;
    m.paths.insert(kHere);
    c.seed(m);
    MsixRepositoryResult result;
    const std::string log = logged_by([&] { result = msix_repository_version(m.ctx(), "YoxaCorporation.YoxaAbacus"); });
    EXPECT_EQ(result.answer, c.answer) << c.what;
    if (c.answer == Found) {
      EXPECT_EQ(result.version, c.version) << c.what;
    }
    const auto tombstone =
        line_at(log, "INFO", "MSIX repository entry '" + kEntry1 + "' is a tombstone (payload gone); ignoring");
    EXPECT_EQ(tombstone != std::string::npos, c.tombstone_logged) << c.what << "\n" << log;
  }
}

TEST(MsixVersion, InconclusiveRepositoryAsksPowerShell) {
  const struct {
    Result<std::string> answer;
    std::optional<std::string> version;
    const char* log_level;
    std::string log_line;
  } cases[] = {
      {" 5.6.7.0\r\n", "5.6.7.0", "INFO",
       std::string("MSIX installed version for '") + kFamily + "': 5.6.7.0 (Get-AppxPackage)"},
      {"  ", std::nullopt, "INFO", std::string("MSIX package '") + kFamily + "' not installed (Get-AppxPackage)"},
      {fail("Shell Not Responding", "Shell Not Responding", 4700), std::nullopt, "WARN",
       std::string("MSIX version check failed for '") + kFamily +
           "': " + Error::same("Shell Not Responding", 4700).full_text()},
  };
  for (const auto& c : cases) {
    Machine m;
    m.package("YoxaCorporation.YoxaAbacus_1.0.0.0_x64__v4x2s8k1qa0mt", "C:\\gone");
    m.answers.push_back(c.answer);
    std::optional<std::string> version;
    const std::string log = logged_by([&] { version = installed_version(m.ctx(), kMsixApp); });
    EXPECT_EQ(version, c.version);
    ASSERT_EQ(m.scripts.size(), 1u);
    EXPECT_EQ(m.scripts[0].first, kAppxQuery);
    EXPECT_EQ(m.scripts[0].second, 30u);
    EXPECT_NE(line_at(log, c.log_level, c.log_line), std::string::npos) << log;
  }
}

TEST(MsixVersion, RegistryAnswersWithoutPowerShell) {
  Machine m;
  m.package("YoxaCorporation.YoxaAbacus_3.2.1.0_x64__v4x2s8k1qa0mt");
  EXPECT_EQ(installed_version(m.ctx(), kMsixApp), "3.2.1.0");
  EXPECT_EQ(installed_version_quick(m.ctx(), kMsixApp, true), "3.2.1.0");

  Machine empty;
  empty.registry.add_key(kUser, RegistryView::Native, kPackages);
  EXPECT_EQ(installed_version(empty.ctx(), kMsixApp), std::nullopt);
  EXPECT_TRUE(m.scripts.empty());
  EXPECT_TRUE(empty.scripts.empty());
  EXPECT_EQ(msix_installed_version(m.ctx(), ""), std::nullopt);
}

TEST(MsixVersion, QuickFormStopsAtTheRegistry) {
  Machine m;
  m.package("YoxaCorporation.YoxaAbacus_1.0.0.0_x64__v4x2s8k1qa0mt", "C:\\gone");
  m.answers.push_back(std::string("1.5.0.0"));
  EXPECT_EQ(installed_version_quick(m.ctx(), kMsixApp, true), std::nullopt);
  EXPECT_TRUE(m.scripts.empty());
  EXPECT_EQ(installed_version_quick(m.ctx(), kMsixApp, false), "1.5.0.0");
  EXPECT_EQ(m.scripts.size(), 1u);
}

TEST(MsixVersion, PackageNameIsQuotedForPowerShell) {
  Machine m;
  m.answers.push_back(std::string(""));
  EXPECT_EQ(msix_installed_version(m.ctx(), "Odd'Name_abc"), std::nullopt);
  ASSERT_EQ(m.scripts.size(), 1u);
  EXPECT_NE(m.scripts[0].first.find("-Name 'Odd''Name*'"), std::string::npos) << m.scripts[0].first;
}

TEST(MsixProvisioned, AnswersFromTheProvisioningQuery) {
  const struct {
    Result<std::string> answer;
    bool provisioned;
  } cases[] = {
      {"YoxaCorporation.YoxaAbacus\r\n", true},
      {" \n", false},
      {fail("Command Failed: exit code: 1", "Access is denied.", 0), false},
  };
  for (const auto& c : cases) {
    Machine m;
    m.answers.push_back(c.answer);
    EXPECT_EQ(installed_machine_wide(m.ctx(), kMsixApp), c.provisioned);
    ASSERT_EQ(m.scripts.size(), 1u);
    EXPECT_EQ(m.scripts[0].first, kProvisionedQuery);
    EXPECT_EQ(m.scripts[0].second, 30u);
  }
  Machine m;
  EXPECT_FALSE(msix_provisioned(m.ctx(), ""));
  EXPECT_TRUE(m.scripts.empty());
}

TEST(InstalledPath, IconProgramThenInstallLocation) {
  const struct {
    std::optional<std::string> icon;
    std::optional<std::string> location;
    std::set<std::string> files;
    std::optional<std::string> path;
  } cases[] = {
      {"\"C:\\Program Files\\Yoxa\\Quill.exe\",0",
       "C:\\Yoxa",
       {"C:\\Program Files\\Yoxa\\Quill.exe", "C:\\Yoxa\\YoxaQuill.exe"},
       "C:\\Program Files\\Yoxa\\Quill.exe"},
      {"  \"C:\\Yoxa\\QUILL.EXE\"  , 2", std::nullopt, {"C:\\Yoxa\\QUILL.EXE"}, "C:\\Yoxa\\QUILL.EXE"},
      {"C:\\Yoxa\\quill.ico",
       "C:\\Yoxa",
       {"C:\\Yoxa\\quill.ico", "C:\\Yoxa\\YoxaQuill.exe"},
       "C:\\Yoxa\\YoxaQuill.exe"},
      {"C:\\Yoxa\\missing.exe", "C:\\Yoxa\\", {"C:\\Yoxa\\YoxaQuill.exe"}, "C:\\Yoxa\\YoxaQuill.exe"},
      {"C:\\Yoxa\\quill.exe.bak", std::nullopt, {"C:\\Yoxa\\quill.exe.bak"}, std::nullopt},
      {std::nullopt, "C:\\Yoxa", {}, std::nullopt},
      {std::nullopt, std::nullopt, {"C:\\Yoxa\\YoxaQuill.exe"}, std::nullopt},
  };
  for (const auto& c : cases) {
    Machine m;
    Strings entry = {{"DisplayVersion", "1.0"}};
    if (c.icon) entry.emplace_back("DisplayIcon", *c.icon);
    if (c.location) entry.emplace_back("InstallLocation", *c.location);
    m.msi_product(kUser, RegistryView::Native, kPacked1, kBraced1, entry);
    m.paths = c.files;
    EXPECT_EQ(installed_path(m.ctx(), kMsiApp), c.path)
        << c.icon.value_or("(no icon)") << " | " << c.location.value_or("(no location)");
  }
}

TEST(InstalledPath, NeedsAFoundProductAndAProcessName) {
  Machine m;
  m.paths = {"C:\\Yoxa\\YoxaQuill.exe", "C:\\Yoxa\\.exe"};
  EXPECT_EQ(installed_path(m.ctx(), kMsiApp), std::nullopt);

  m.uninstall_entry(kMachine, RegistryView::Bits32, "Quill",
                    {{"DisplayName", "Yoxa Quill"}, {"DisplayVersion", "1"}, {"InstallLocation", "C:\\Yoxa"}});
  EXPECT_EQ(installed_path(m.ctx(), kMsiApp), "C:\\Yoxa\\YoxaQuill.exe") << "found by name";
  AppDescriptor nameless = kMsiApp;
  nameless.process_name = "";
  EXPECT_EQ(installed_path(m.ctx(), nameless), std::nullopt);
}

TEST(InstalledPath, MsixAppsStartFromTheAppsFolder) {
  Machine m;
  EXPECT_EQ(installed_path(m.ctx(), kMsixApp), "shell:AppsFolder\\YoxaCorporation.YoxaAbacus_v4x2s8k1qa0mt!App");
  AppDescriptor no_family = kMsixApp;
  no_family.family_name = "";
  EXPECT_EQ(installed_path(m.ctx(), no_family), std::nullopt);
  EXPECT_EQ(m.registry.calls(), 0);
}

TEST(PowerShellQuote, DoublesEveryKindOfSingleQuote) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain", "plain"},
      {"O'Brien", "O''Brien"},
      {"''", "''''"},
      {"O\u2019Brien \u2018x\u201A\u201B", "O\u2019\u2019Brien \u2018\u2018x\u201A\u201A\u201B\u201B"},
      {"caf\xc3\xa9 \"double\"", "caf\xc3\xa9 \"double\""},
  };
  for (const auto& [text, quoted] : cases) EXPECT_EQ(powershell_quote(text), quoted) << text;
}

}  // namespace
}  // namespace yoxa
