#include "install/install_msix.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>

#include "core/messages.h"
#include "core/places.h"
#include "fake_registry.h"
#include "install/msix_failure.h"
#include "log_capture.h"
#include "system/sideloading_policy.h"

namespace yoxa {
namespace {

using testing::FakeRegistry;
using testing::logged_by;
using Hive = platform::RegistryHive;
using View = platform::RegistryView;

const std::string kPackage = "C:\\ProgramData\\Yoxa\\installer\\it's-v4.0.msix";
const std::string kQuotedPackage = "C:\\ProgramData\\Yoxa\\installer\\it''s-v4.0.msix";
const std::string kUserCommand = "Appx\\Add-AppxPackage -Path '" + kQuotedPackage + "'";
const std::string kMachineCommand =
    "Dism\\Add-AppxProvisionedPackage -Online -PackagePath '" + kQuotedPackage + "' -SkipLicense";

// How PowerShell reports a failed deployment: its error output is the command's detail.
Error powershell_failure(const std::string& standard_error) {
  return Error("Command Failed: exit code: 1", standard_error, place::kRunnerExit);
}

// A scripted PowerShell and machine: detection and certificate scripts are told apart from
// the install commands, which take the queued answers in turn (success once they run out).
class MsixInstall : public ::testing::Test {
 protected:
  MsixInstall() {
    auto [sink, receiver] = make_event_channel();
    sink_.emplace(std::move(sink));
    receiver_.emplace(std::move(receiver));
  }

  MsixHost host() {
    MsixHost made;
    made.powershell = [this](const std::string& script, std::uint32_t limit) -> Result<std::string> {
      if (script.starts_with("$v = @(Get-AppxPackage")) {
        detections_.push_back(script);
        EXPECT_EQ(limit, 30u);
        if (detection_error_) return std::unexpected(*detection_error_);
        return detection_output_;
      }
      if (script.starts_with("\n$cert")) {
        certificate_scripts_.push_back(script);
        EXPECT_EQ(limit, 30u);
        if (certificate_error_) return std::unexpected(*certificate_error_);
        return std::string();
      }
      commands_.push_back(script);
      EXPECT_EQ(limit, 300u);
      if (install_answers_.empty()) return std::string();
      auto answer = std::move(install_answers_.front());
      install_answers_.pop_front();
      if (answer) return std::unexpected(*answer);
      return std::string();
    };
    made.run_program = [this](const std::string& program, const std::vector<std::string>& arguments)
        -> std::expected<std::uint32_t, platform::OsError> {
      programs_.push_back({program, arguments});
      if (program_error_) return std::unexpected(*program_error_);
      return program_exit_;
    };
    made.registry = [this]() -> platform::Registry& { return *registry_; };
    made.elevated = [this] { return elevated_; };
    made.package_verified = [this](const std::string& path) {
      EXPECT_EQ(path, kPackage);
      return package_verified_;
    };
    made.privileged = [this] { return privileged_; };
    made.trusted_signer = [this](const std::string& path) -> Result<std::string> {
      signer_checks_.push_back(path);
      if (path.find("untrusted") != std::string::npos) {
        return fail(msg::kVerificationFailed, "Signature verification failed: The binary file didn't have any signature",
                    place::kVerifyUntrustedRuntime);
      }
      return std::string("Platform Vendor");
    };
    return made;
  }

  InstallerOutcome install(bool machine, const PreparedDependencies& dependencies = {}) {
    InstallerOutcome outcome = InstallerStatus::Succeeded;
    log_ = logged_by([&] { outcome = install_msix(*sink_, "abacus", kPackage, machine, dependencies, host()); });
    return outcome;
  }

  bool logged(const std::string& line) const { return log_.find(line) != std::string::npos; }
  std::optional<platform::RegistryValue> policy(const char* name) {
    auto value = registry_->value(Hive::LocalMachine, View::Bits64, kAppxPolicyKey, name);
    return value ? *value : std::nullopt;
  }

  struct ProgramRun {
    std::string program;
    std::vector<std::string> arguments;
  };

  std::unique_ptr<FakeRegistry> registry_ = std::make_unique<FakeRegistry>();
  bool elevated_ = false;
  bool package_verified_ = true;
  bool privileged_ = false;
  std::vector<std::string> signer_checks_;
  std::string detection_output_;
  std::optional<Error> detection_error_;
  std::optional<Error> certificate_error_;
  std::deque<std::optional<Error>> install_answers_;
  std::uint32_t program_exit_ = 0;
  std::optional<platform::OsError> program_error_;
  std::vector<std::string> detections_;
  std::vector<std::string> certificate_scripts_;
  std::vector<std::string> commands_;
  std::vector<ProgramRun> programs_;
  std::string log_;
  std::optional<EventSink> sink_;
  std::optional<EventReceiver> receiver_;
};

TEST(MsixFailureMessage, FirstMatchingRowWins) {
  const std::string kComposedPrefix = std::string(msg::kMissingRuntime) + " Missing framework: ";
  const struct {
    const char* text;
    std::string message;
  } cases[] = {
      {"Deployment failed with HRESULT: 0x800B0109", msg::kCertificateNotTrusted},
      {"HRESULT: 0x80073CF3, Package failed updates", msg::kMissingRuntime},
      {"0x80073CF9", msg::kPackageRestart},
      {"0x80073CFB", msg::kConflictingVersion},
      {"0x80073CFD", msg::kWrongWindowsVersion},
      {"0x80073CFF", msg::kBlockedByPolicy},
      {"0x80073D01", msg::kBlockedByPolicy},
      {"0x80073D02", msg::kAppInUse},
      {"0x800700E1", msg::kBlockedByAntivirus},
      {"0x800700E2", msg::kBlockedByAntivirus},
      {"0x80070005", msg::kBlockedByAntivirus},
      {"something else entirely", msg::kAppInstallationFailed},
      // Codes are exact, upper-case substrings.
      {"0x80073cf3", msg::kAppInstallationFailed},
      // Two codes: the row printed first in the table wins, not the first in the text.
      {"0x80070005 then 0x800B0109", msg::kCertificateNotTrusted},
      {"0x80073D02 and 0x80073CF3", msg::kMissingRuntime},
      // A named framework beats every code, and is told with the missing-runtime message.
      {"0x800B0109 0x80073CF3 Provide the framework \"Microsoft.VCLibs.140.00\" and retry",
       kComposedPrefix + "Microsoft.VCLibs.140.00"},
      {"Provide the framework \"\" here", kComposedPrefix},
      // Without the closing quote there is no name: the codes decide.
      {"0x80073CF3 Provide the framework \"Microsoft.VCLibs", msg::kMissingRuntime},
      {"Provide the framework Microsoft.VCLibs", msg::kAppInstallationFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(msix_failure_message(c.text), c.message);
  }
  // The fixed sentences are install failures on the wire; the composed one is not a fixed sentence.
  EXPECT_EQ(code_for_message(msg::kCertificateNotTrusted), ErrorKind::InstallFailed);
  EXPECT_EQ(code_for_message(msg::kBlockedByAntivirus), ErrorKind::InstallFailed);
  EXPECT_EQ(code_for_message(kComposedPrefix + "X"), ErrorKind::Unknown);
}

TEST_F(MsixInstall, FailureCarriesTheMappedMessageAndTheFullErrorText) {
  install_answers_ = {powershell_failure("Add-AppxPackage : Deployment failed with HRESULT: 0x80073CFB")};
  const auto outcome = install(false);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().message(), msg::kConflictingVersion);
  const std::string full = powershell_failure("Add-AppxPackage : Deployment failed with HRESULT: 0x80073CFB").full_text();
  EXPECT_EQ(outcome.error().detail(), full);
  EXPECT_TRUE(logged("MSIX installation failed: " + full)) << log_;
  EXPECT_FALSE(logged("Missing framework dependency")) << log_;
}

TEST_F(MsixInstall, NamedMissingFrameworkIsLoggedAndComposed) {
  install_answers_ = {powershell_failure(
      "Windows cannot install package YoxaAbacus because this package depends on a framework that could not be "
      "found. Provide the framework \"Microsoft.WindowsAppRuntime.1.8\" published by \"CN=Microsoft\". 0x80073CF3")};
  const auto outcome = install(false);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().message(),
            "App package is missing a required Windows runtime component. Please contact support for assistance. "
            "Missing framework: Microsoft.WindowsAppRuntime.1.8");
  EXPECT_EQ(code_for_error(outcome.error()), ErrorKind::Unknown);
  EXPECT_TRUE(logged("Missing framework dependency: Microsoft.WindowsAppRuntime.1.8")) << log_;
}

TEST_F(MsixInstall, MachinePreparationNeedsMachineScopeOrElevation) {
  const struct {
    bool machine;
    bool elevated;
    bool prepares;
    const std::string command;
  } cases[] = {
      {false, false, false, kUserCommand},
      {false, true, true, kUserCommand},
      {true, false, true, kMachineCommand},
      {true, true, true, kMachineCommand},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.machine) + "/" + ::testing::PrintToString(c.elevated));
    registry_ = std::make_unique<FakeRegistry>();
    certificate_scripts_.clear();
    commands_.clear();
    elevated_ = c.elevated;
    ASSERT_TRUE(install(c.machine));
    EXPECT_EQ(commands_, std::vector<std::string>{c.command});
    EXPECT_EQ(logged("Unelevated user-scope MSIX install: skipping the HKLM sideloading policy write and the "
                     "LocalMachine root-CA install (both require admin rights)"),
              !c.prepares)
        << log_;
    if (!c.prepares) {
      EXPECT_EQ(registry_->calls(), 0);
      EXPECT_TRUE(certificate_scripts_.empty());
      continue;
    }
    for (const char* name : {"AllowAllTrustedApps", "AllowDevelopmentWithoutDevLicense"}) {
      const auto value = policy(name);
      ASSERT_TRUE(value) << name;
      EXPECT_EQ(value->type, platform::RegistryValue::Type::Dword);
      EXPECT_EQ(value->number, 1u);
    }
    EXPECT_TRUE(logged("Ensured AppX sideloading policy is enabled")) << log_;
    ASSERT_EQ(certificate_scripts_.size(), 1u);
    EXPECT_EQ(certificate_scripts_[0],
              "\n$cert = (Get-AuthenticodeSignature -LiteralPath '" + kQuotedPackage +
                  "').SignerCertificate\nif ($null -ne $cert) {\n"
                  "    $chain = [System.Security.Cryptography.X509Certificates.X509Chain]::new()\n"
                  "    $chain.ChainPolicy.RevocationMode = 'NoCheck'\n    [void]$chain.Build($cert)\n"
                  "    $rootCert = ($chain.ChainElements | Select-Object -Last 1).Certificate\n"
                  "    $store = [System.Security.Cryptography.X509Certificates.X509Store]::new('Root', "
                  "'LocalMachine')\n    $store.Open('ReadWrite')\n    $store.Add($rootCert)\n    $store.Close()\n}\n");
    EXPECT_TRUE(logged("MSIX signing certificate installed successfully")) << log_;
  }
}

TEST(SideloadingPolicy, AValueThatCannotBeSetIsNamedAndTheOtherStillWritten) {
  FakeRegistry registry;
  registry.fail_value_write(Hive::LocalMachine, View::Bits64, kAppxPolicyKey, "AllowAllTrustedApps");
  const std::string log = logged_by([&] { ensure_sideloading_policy(registry); });
  EXPECT_NE(log.find("Could not set AllowAllTrustedApps: Access is denied. (os error 5)"), std::string::npos) << log;
  EXPECT_EQ(log.find("Could not open AppX policy key"), std::string::npos) << log;
  EXPECT_NE(log.find("Ensured AppX sideloading policy is enabled"), std::string::npos) << log;
  const auto written = registry.value(Hive::LocalMachine, View::Bits64, kAppxPolicyKey,
                                      "AllowDevelopmentWithoutDevLicense");
  ASSERT_TRUE(written && *written);
  EXPECT_EQ((*written)->number, 1u);
}

TEST_F(MsixInstall, PreparationFailuresOnlyWarn) {
  elevated_ = true;
  registry_->fail_key(Hive::LocalMachine, View::Bits64, kAppxPolicyKey);
  certificate_error_ = Error::same("Shell Not Responding", place::kRunnerHung);
  ASSERT_TRUE(install(false));
  EXPECT_TRUE(logged("Could not open AppX policy key to enable sideloading (install may be blocked by policy): "
                     "Access is denied. (os error 5)"))
      << log_;
  EXPECT_FALSE(logged("Ensured AppX sideloading policy is enabled")) << log_;
  EXPECT_TRUE(logged("Could not install signing certificate; installation may fail on untrusted systems: Shell Not "
                     "Responding: Shell Not Responding (4703)"))
      << log_;
  EXPECT_EQ(commands_, std::vector<std::string>{kUserCommand});
}

TEST_F(MsixInstall, OnlyTheFrameworksWindowsLacksArePassedQuoted) {
  const PreparedDependencies dependencies{
      .frameworks = {{"C:\\staging\\Microsoft.VCLibs.140.00_x64.appx", "Microsoft.VCLibs.140.00", "14.0.33519.0"},
                     {"C:\\staging\\O'Brien\\runtime.msix", "Microsoft.WindowsAppRuntime.1.8", ""}},
      .chained_installers = {}};
  detection_output_ = "Microsoft.VCLibs.140.00|14.0.33519.0";
  ASSERT_TRUE(install(false, dependencies));
  ASSERT_EQ(detections_.size(), 1u);
  EXPECT_NE(detections_[0].find("Get-AppxPackage -Name 'Microsoft.WindowsAppRuntime.1.8' |"), std::string::npos);
  EXPECT_EQ(commands_, std::vector<std::string>{kUserCommand + " -DependencyPath 'C:\\staging\\O''Brien\\runtime.msix'"});
  EXPECT_TRUE(logged("Microsoft.VCLibs.140.00: already installed at 14.0.33519.0 (>= required 14.0.33519.0); NOT "
                     "passing it to Windows \u2014 re-servicing a framework in use fails the install with 0x80073D02"))
      << log_;
  EXPECT_TRUE(logged("Microsoft.WindowsAppRuntime.1.8: required >= (any), installed (none) \u2014 passing the staged "
                     "package to Windows"))
      << log_;
  EXPECT_TRUE(logged("Installing MSIX with 1 framework dependency package(s)")) << log_;

  // Machine scope asks about every user and names the provisioning option.
  commands_.clear();
  detections_.clear();
  detection_output_ = "Microsoft.VCLibs.140.00|14.0.1.0";
  ASSERT_TRUE(install(true, dependencies));
  ASSERT_EQ(detections_.size(), 1u);
  EXPECT_NE(detections_[0].find("-Name 'Microsoft.VCLibs.140.00' -AllUsers |"), std::string::npos);
  EXPECT_EQ(commands_, std::vector<std::string>{kMachineCommand +
                                                " -DependencyPackagePath "
                                                "'C:\\staging\\Microsoft.VCLibs.140.00_x64.appx',"
                                                "'C:\\staging\\O''Brien\\runtime.msix'"});
  EXPECT_TRUE(logged("Microsoft.VCLibs.140.00: required >= 14.0.33519.0, installed 14.0.1.0")) << log_;
}

TEST_F(MsixInstall, FailedDetectionPassesEveryStagedFramework) {
  const PreparedDependencies dependencies{
      .frameworks = {{"C:\\s\\a.appx", "A", "1.0"}, {"C:\\s\\b.appx", "B", "2.0"}}, .chained_installers = {}};
  detection_error_ = Error::same("Shell Not Responding", place::kRunnerHung);
  ASSERT_TRUE(install(false, dependencies));
  EXPECT_EQ(commands_, std::vector<std::string>{kUserCommand + " -DependencyPath 'C:\\s\\a.appx','C:\\s\\b.appx'"});
  EXPECT_TRUE(logged("Framework detection failed (Shell Not Responding: Shell Not Responding (4703)); passing all 2 "
                     "staged framework package(s) to Windows so a genuinely missing one still installs"))
      << log_;
}

TEST_F(MsixInstall, PackagesInUseIsRetriedOnceWithoutFrameworks) {
  const PreparedDependencies with_framework{.frameworks = {{"C:\\s\\a.appx", "A", ""}}, .chained_installers = {}};
  const Error in_use = powershell_failure("Deployment failed with HRESULT: 0x80073D02");
  const Error still_in_use = powershell_failure("Deployment failed with HRESULT: 0x80073D02, again");
  const Error missing = powershell_failure("0x80073CF3");
  const std::string with = kUserCommand + " -DependencyPath 'C:\\s\\a.appx'";
  const struct {
    const char* name;
    PreparedDependencies dependencies;
    std::deque<std::optional<Error>> answers;
    std::vector<std::string> commands;
    std::optional<std::string> failure;  // none: success
  } cases[] = {
      {"retry succeeds", with_framework, {in_use, std::nullopt}, {with, kUserCommand}, std::nullopt},
      {"retry fails: the first failure is reported", with_framework, {in_use, missing}, {with, kUserCommand},
       msg::kAppInUse},
      {"no frameworks supplied: no retry", {}, {in_use}, {kUserCommand}, msg::kAppInUse},
      {"another code: no retry", with_framework, {missing}, {with}, msg::kMissingRuntime},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    commands_.clear();
    install_answers_ = c.answers;
    detection_output_.clear();  // every framework is missing
    const auto outcome = install(false, c.dependencies);
    EXPECT_EQ(commands_, c.commands);
    if (!c.failure) {
      EXPECT_TRUE(outcome) << outcome.error().full_text();
      EXPECT_TRUE(logged("MSIX install hit 0x80073D02 (ERROR_PACKAGES_IN_USE) with 1 framework package(s) supplied; "
                         "retrying once without them \u2014 the app itself is rarely the blocker"))
          << log_;
      EXPECT_TRUE(logged("Retry without framework dependencies succeeded")) << log_;
      continue;
    }
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message(), *c.failure);
    if (c.commands.size() == 2) {
      EXPECT_EQ(outcome.error().detail(), in_use.full_text());
      EXPECT_TRUE(logged("Retry without framework dependencies also failed: " + missing.full_text())) << log_;
    }
  }
  EXPECT_EQ(powershell_failure("x").place(), place::kRunnerExit);
}

TEST_F(MsixInstall, ChainedInstallersRunHiddenAndNeverStopTheInstall) {
  const PreparedDependencies dependencies{
      .frameworks = {},
      .chained_installers = {{"C:\\s\\vc_redist.exe", "  /install\t/quiet  /norestart "},
                             {std::string("C:\\s\\bad\xff.exe"), ""},
                             {"C:\\s\\plain.exe", ""}}};
  const struct {
    std::uint32_t code;
    std::optional<platform::OsError> error;
    std::string line;
  } cases[] = {
      {0, std::nullopt, "Chained runtime installer completed: C:\\s\\vc_redist.exe"},
      {3, std::nullopt,
       "Chained runtime installer C:\\s\\vc_redist.exe exited with 3 (0x00000003); continuing \u2014 Add-AppxPackage "
       "will report 0x80073CF3 if the runtime is still missing"},
      {0x80070005u, std::nullopt, "exited with -2147024891 (0x80070005); continuing"},
      {0, platform::OsError{2, "The system cannot find the file specified. (os error 2)"},
       "Could not run chained runtime installer C:\\s\\vc_redist.exe: The system cannot find the file specified. (os "
       "error 2); continuing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    programs_.clear();
    commands_.clear();
    program_exit_ = c.code;
    program_error_ = c.error;
    ASSERT_TRUE(install(false, dependencies));
    ASSERT_EQ(programs_.size(), 2u);
    EXPECT_EQ(programs_[0].program, "C:\\s\\vc_redist.exe");
    EXPECT_EQ(programs_[0].arguments, (std::vector<std::string>{"/install", "/quiet", "/norestart"}));
    EXPECT_EQ(programs_[1].program, "C:\\s\\plain.exe");
    EXPECT_TRUE(programs_[1].arguments.empty());
    EXPECT_TRUE(logged(c.line)) << log_;
    EXPECT_TRUE(logged("Skipping chained runtime installer with undecodable path: C:\\s\\bad\xEF\xBF\xBD.exe")) << log_;
    EXPECT_EQ(commands_, std::vector<std::string>{kUserCommand});
  }
}

// A package that did not pass the suite's signature check in this run (an offline package
// without it, say) never gets its chain's root into the machine's trusted roots.
TEST_F(MsixInstall, CertificateStepOnlyForAPackageVerifiedInThisRun) {
  for (const bool verified : {true, false}) {
    SCOPED_TRACE(verified ? "verified" : "not verified");
    registry_ = std::make_unique<FakeRegistry>();
    certificate_scripts_.clear();
    elevated_ = true;
    package_verified_ = verified;
    ASSERT_TRUE(install(true));
    EXPECT_EQ(certificate_scripts_.size(), verified ? 1u : 0u);
    EXPECT_TRUE(policy("AllowAllTrustedApps")) << "the sideloading policy does not depend on it";
    EXPECT_EQ(logged("Skipping the MSIX signing certificate step: " + kPackage +
                     " did not pass the suite's signature check in this run, so its chain is not added to the trusted "
                     "root store"),
              !verified)
        << log_;
    EXPECT_EQ(commands_.back(), kMachineCommand);
  }
}

TEST_F(MsixInstall, ElevatedRunsStartOnlyTrustedSignedChainedInstallers) {
  const PreparedDependencies dependencies{
      .frameworks = {},
      .chained_installers = {{"C:\\s\\untrusted.exe", "/quiet"}, {"C:\\s\\vc_redist.exe", "/quiet"}}};
  for (const bool privileged : {true, false}) {
    SCOPED_TRACE(privileged ? "elevated" : "unelevated");
    privileged_ = privileged;
    programs_.clear();
    signer_checks_.clear();
    ASSERT_TRUE(install(false, dependencies));
    std::vector<std::string> started;
    for (const auto& run : programs_) started.push_back(run.program);
    const std::vector<std::string> expected =
        privileged ? std::vector<std::string>{"C:\\s\\vc_redist.exe"}
                   : std::vector<std::string>{"C:\\s\\untrusted.exe", "C:\\s\\vc_redist.exe"};
    EXPECT_EQ(started, expected);
    EXPECT_EQ(signer_checks_.size(), privileged ? 2u : 0u);
    EXPECT_EQ(logged("Refusing chained runtime installer C:\\s\\untrusted.exe: an elevated process starts only a "
                     "trusted signed runtime installer (" +
                     std::string(msg::kVerificationFailed) +
                     ": Signature verification failed: The binary file didn't have any signature (4631)); continuing"),
              privileged)
        << log_;
    EXPECT_EQ(logged("Chained runtime installer C:\\s\\vc_redist.exe is signed by 'Platform Vendor'"), privileged)
        << log_;
    EXPECT_EQ(commands_.back(), kUserCommand);
  }
}

TEST_F(MsixInstall, AnnouncesInstallingAtNinetyPercent) {
  ASSERT_TRUE(install(false));
  EXPECT_TRUE(logged("Executing MSIX install (scope=false) for: " + kPackage)) << log_;
  EXPECT_TRUE(logged("MSIX installation completed successfully")) << log_;
  sink_.reset();
  std::vector<Json> seen;
  while (auto text = receiver_->receive()) seen.push_back(Json::parse(*text));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0]["type"], "progress");
  EXPECT_EQ(seen[0]["app"], "abacus");
  EXPECT_EQ(seen[0]["percent"], 90);
  EXPECT_EQ(seen[0]["detailCode"], "INSTALLING");
}

}  // namespace
}  // namespace yoxa
