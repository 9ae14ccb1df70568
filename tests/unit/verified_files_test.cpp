#include "acquisition/verified_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/messages.h"
#include "temp_dir.h"

namespace yoxa {
namespace {

namespace fs = std::filesystem;

// A held file stays held until released; one that cannot be opened (missing, or a
// link planted in its place) fails verification with the reason.
TEST(VerifiedFileHolds, HoldsUntilReleasedAndRefusesWhatItCannotOpen) {
  const testing::TempDir dir;
  const std::string package = (dir.path() / "installer-v1.msi").string();
  { std::ofstream(package) << "package"; }
  fs::create_symlink(package, dir.path() / "link.msi");

  VerifiedFileHolds holds;
  ASSERT_TRUE(holds.hold(package));
  ASSERT_TRUE(holds.hold(package));  // a second verification of the same file keeps the hold
  EXPECT_TRUE(holds.holds(package));
  for (const char* name : {"missing.msi", "link.msi"}) {
    SCOPED_TRACE(name);
    const std::string path = (dir.path() / name).string();
    const auto refused = holds.hold(path);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), msg::kVerificationFailed);
    EXPECT_TRUE(refused.error().detail().starts_with("Could not hold " + path + " against changes: "));
    EXPECT_FALSE(holds.holds(path));
  }
  holds.release_all();
  EXPECT_FALSE(holds.holds(package));
}

}  // namespace
}  // namespace yoxa
