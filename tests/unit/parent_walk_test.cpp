// Walking from a path up to its root, as the free-space lookup does.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "core/parent_walk.h"
#include "front_end/distinct_apps.h"

namespace yoxa {
namespace {

std::vector<std::string> walk(const std::string& path) {
  std::vector<std::string> seen;
  walk_up_parents(path, [&](const std::string& p) {
    seen.push_back(p);
    return false;
  });
  return seen;
}

std::vector<std::string> by_parent_path(const std::string& path) {
  std::vector<std::string> seen;
  std::filesystem::path current(path);
  while (true) {
    seen.push_back(current.string());
    auto parent = current.parent_path();
    if (parent.empty() || parent == current) return seen;
    current = std::move(parent);
  }
}

TEST(ParentWalk, VisitsWhatParentPathGives) {
  for (const char* path : {"/a/b/c", "/a/b/c/", "a/b", "a", "/", "/a", "/a//b///c", "./x/../y", ""}) {
    if (*path == '\0') {
      EXPECT_EQ(walk(path), std::vector<std::string>{""});
      continue;
    }
    EXPECT_EQ(walk(path), by_parent_path(path)) << path;
  }
}

TEST(ParentWalk, StopsAtTheFirstAcceptedPath) {
  std::vector<std::string> seen;
  EXPECT_TRUE(walk_up_parents("/a/b/c", [&](const std::string& p) {
    seen.push_back(p);
    return p == "/a";
  }));
  EXPECT_EQ(seen, (std::vector<std::string>{"/a/b/c", "/a/b", "/a"}));
}

// 120 KB of one-letter names: every parent is reached, in time linear in the path,
// and forms longer than any platform opens are not asked about.
TEST(ParentWalk, DeepPathsAreWalkedInLinearTime) {
  std::string path;
  for (int i = 0; i < 60000; ++i) path += "/a";
  std::size_t visited = 0;
  std::size_t longest = 0;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(walk_up_parents(path, [&](const std::string& p) {
    ++visited;
    longest = std::max(longest, p.size());
    return false;
  }));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_EQ(visited, kLongestPathUnits / 2 + 1);  // "/a" * 16383 and the root
  EXPECT_LE(longest, kLongestPathUnits);
}

TEST(DistinctApps, WorkOncePerAppAnswersPerRequest) {
  const auto& table = app_table();
  const AppDescriptor* quill = &table[0];
  const AppDescriptor* abacus = &table[1];
  const DistinctApps distinct = distinct_apps({abacus, quill, abacus, abacus, quill});
  EXPECT_EQ(distinct.apps, (std::vector<const AppDescriptor*>{abacus, quill}));
  EXPECT_EQ(per_request(distinct, std::vector<int>{7, 9}), (std::vector<int>{7, 9, 7, 7, 9}));
  EXPECT_TRUE(distinct_apps({}).apps.empty());
}

}  // namespace
}  // namespace yoxa
