#include "system/trusted_directory.h"

#include <gtest/gtest.h>

#include "core/paths.h"
#include "fake_directory_trust.h"
#include "log_capture.h"

namespace yoxa {
namespace {

using platform::DirectoryReaders;
using testing::FakeDirectoryTrust;

std::string join(const std::string& a, const char* b) { return path_to_utf8(path_from_utf8(a) / b); }

const std::string kRoot = path_to_utf8(path_from_utf8("/pd"));
const std::string kYoxa = join(kRoot, "Yoxa");
const std::string kBase = join(kYoxa, "YoxaOffice");
const std::string kStaging = join(kBase, "installer");

TEST(TrustedDirectory, MissingLevelsAreCreatedProtectedWithUsersReadingOnlyTheLevelsAbove) {
  FakeDirectoryTrust trust;
  ASSERT_TRUE(ensure_trusted_directory(kRoot, kStaging, DirectoryReaders::AdminsOnly, trust));
  EXPECT_EQ(trust.created, (std::map<std::string, DirectoryReaders>{{kYoxa, DirectoryReaders::UsersReadExecute},
                                                                    {kBase, DirectoryReaders::UsersReadExecute},
                                                                    {kStaging, DirectoryReaders::AdminsOnly}}));
  EXPECT_TRUE(trust.moved.empty());
}

TEST(TrustedDirectory, ATrustedExistingTreeIsUsedAsItIs) {
  FakeDirectoryTrust trust;
  for (const auto& path : {kYoxa, kBase, kStaging}) trust.entries[path] = FakeDirectoryTrust::trusted();
  const std::string lines = testing::logged_by(
      [&] { ASSERT_TRUE(ensure_trusted_directory(kRoot, kStaging, DirectoryReaders::AdminsOnly, trust)); });
  EXPECT_TRUE(trust.created.empty());
  EXPECT_TRUE(trust.moved.empty());
  EXPECT_EQ(lines.find("not trustworthy"), std::string::npos);
}

// Whatever a standard user could have planted at any level is moved aside (the entry,
// never a link's target) and made afresh; what lies below it is made afresh too.
TEST(TrustedDirectory, APlantedLevelIsMovedAsideAndCreatedAfresh) {
  struct Case {
    const char* name;
    platform::DirectoryFacts facts;
    const char* reason;
  };
  const Case cases[] = {
      {"owned by a user", FakeDirectoryTrust::owned_by_user(), "owned by S-1-5-21-1-2-3-1001"},
      {"users may write", FakeDirectoryTrust::users_may_write(), "S-1-5-32-545 may change it"},
      {"a link", FakeDirectoryTrust::link(), "it is a link or reparse point"},
      {"a file", {.exists = true, .is_directory = false, .owner_trusted = true, .detail = {}}, "it is not a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDirectoryTrust trust;
    trust.entries[kYoxa] = c.facts;
    const std::string lines = testing::logged_by(
        [&] { ASSERT_TRUE(ensure_trusted_directory(kRoot, kStaging, DirectoryReaders::AdminsOnly, trust)); });
    ASSERT_EQ(trust.moved.size(), 1u);
    EXPECT_EQ(trust.moved[0].first, kYoxa);
    EXPECT_TRUE(trust.moved[0].second.starts_with(kYoxa + ".untrusted-"));
    EXPECT_EQ(trust.created.size(), 3u);
    EXPECT_NE(lines.find(kYoxa + " is not trustworthy (" + c.reason + "); moved it aside to "), std::string::npos)
        << lines;
  }
}

TEST(TrustedDirectory, AnAsideNameTakenAlreadyIsSkipped) {
  FakeDirectoryTrust trust;
  trust.entries[kStaging] = FakeDirectoryTrust::link();
  for (const auto& path : {kYoxa, kBase}) trust.entries[path] = FakeDirectoryTrust::trusted();
  // An attacker guessed the first aside names.
  for (int n = 1; n <= 2; ++n) {
    trust.entries[kStaging + ".untrusted-" + std::to_string(platform::current_process_id()) + "-" + std::to_string(n)] =
        FakeDirectoryTrust::owned_by_user();
  }
  ASSERT_TRUE(ensure_trusted_directory(kRoot, kStaging, DirectoryReaders::AdminsOnly, trust));
  ASSERT_EQ(trust.moved.size(), 1u);
  EXPECT_TRUE(trust.moved[0].second.ends_with("-3"));
}

TEST(TrustedDirectory, ALevelThatCannotBeReplacedFailsAndNothingBelowIsTouched) {
  FakeDirectoryTrust trust;
  trust.entries[kYoxa] = FakeDirectoryTrust::owned_by_user();
  trust.refuse_move.insert(kYoxa);
  std::expected<void, std::string> result;
  const std::string lines =
      testing::logged_by([&] { result = ensure_trusted_directory(kRoot, kStaging, DirectoryReaders::AdminsOnly, trust); });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), kYoxa + " is not trustworthy (owned by S-1-5-21-1-2-3-1001)");
  EXPECT_TRUE(trust.created.empty());
  EXPECT_NE(lines.find("could not be moved aside: denied; nothing is written through it"), std::string::npos) << lines;

  FakeDirectoryTrust recreate;
  recreate.entries[kYoxa] = FakeDirectoryTrust::link();
  recreate.refuse_create.insert(kYoxa);
  const auto failed = ensure_trusted_directory(kRoot, kStaging, DirectoryReaders::AdminsOnly, recreate);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), "cannot create " + kYoxa + ": denied");
}

TEST(TrustedDirectory, APathOutsideTheRootIsRefused) {
  FakeDirectoryTrust trust;
  for (const char* outside : {"/elsewhere/x", "/pd", "/pd/../x"}) {
    SCOPED_TRACE(outside);
    EXPECT_FALSE(ensure_trusted_directory(kRoot, path_to_utf8(path_from_utf8(outside)), DirectoryReaders::AdminsOnly,
                                          trust));
  }
  EXPECT_TRUE(trust.created.empty());
}

}  // namespace
}  // namespace yoxa
