#include <gtest/gtest.h>

#include "core/error.h"
#include "core/messages.h"

namespace yoxa {
namespace {

TEST(ErrorKinds, MessagesClassifyByWholeStringEquality) {
  const struct {
    const char* message;
    ErrorKind kind;
  } cases[] = {
      {msg::kCouldNotContactServer, ErrorKind::NetworkUnavailable},
      {msg::kDownloadFailed, ErrorKind::DownloadFailed},
      {msg::kVerificationFailed, ErrorKind::VerifyFailed},
      {msg::kUntrustedSource, ErrorKind::UntrustedSource},
      {"System Requirements Not Met", ErrorKind::NotCompatible},
      {"System Requirements Not Met ", ErrorKind::Unknown},
      {"system requirements not met", ErrorKind::Unknown},
      {msg::kNotAvailableOnline, ErrorKind::Skipped},
      {msg::kNotEnoughDiskSpace, ErrorKind::DiskSpace},
      {msg::kAppUninstallFailed, ErrorKind::UninstallFailed},
      {"User cancelled the operation", ErrorKind::Cancelled},
      {"Installation cancelled by user.", ErrorKind::Cancelled},
      {msg::kBlockedByAntivirus, ErrorKind::InstallFailed},
      {msg::kAppInstallationFailed, ErrorKind::InstallFailed},
      {"Command Failed: exit code: 1", ErrorKind::Unknown},
      {"", ErrorKind::Unknown},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(code_for_message(c.message), c.kind) << c.message;
  }
}

TEST(ErrorKinds, WireCodesRoundTripAndUnknownTextsAreUnknown) {
  for (int i = 0; i <= static_cast<int>(ErrorKind::Unknown); ++i) {
    const auto kind = static_cast<ErrorKind>(i);
    EXPECT_EQ(code_from_wire(wire_string(kind)), kind);
  }
  EXPECT_EQ(wire_string(ErrorKind::UninstallPermissionDenied), "UNINSTALL_PERMISSION_DENIED");
  EXPECT_EQ(code_from_wire("install_failed"), ErrorKind::Unknown);
  EXPECT_EQ(code_from_wire(std::nullopt), ErrorKind::Unknown);
}

TEST(ErrorKinds, ExitCodeForAWholeRunFailure) {
  EXPECT_EQ(exit_code_for_error(Error(msg::kCouldNotContactServer, "dns", 1)), 5);
  EXPECT_EQ(exit_code_for_error(Error(msg::kInstallationFailed, "1603", 2)), 2);
  EXPECT_EQ(exit_code_for_error(Error("anything", "", 3)), 2);
}

TEST(ErrorKinds, FullTextCarriesMessageDetailAndPlace) {
  EXPECT_EQ(Error(msg::kDownloadFailed, "HTTP 503", 42).full_text(),
            "Download failed. Please check your internet connection and try again.: HTTP 503 (42)");
}

}  // namespace
}  // namespace yoxa
