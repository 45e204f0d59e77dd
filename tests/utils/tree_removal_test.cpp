#include "velmora/utils/tree_removal.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "testing/scoped_folder.hpp"
#include "testing/unprivileged.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::utils {
namespace {

namespace fs = std::filesystem;

// Makes depth nested folders "d" below folder, by descriptor, since their path soon passes
// PATH_MAX; the deepest holds a file.
void make_deep_tree(const fs::path& folder, int depth) {
  int current = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(current, 0);
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(::mkdirat(current, "d", 0700), 0) << i;
    const int next = ::openat(current, "d", O_RDONLY | O_DIRECTORY);
    ::close(current);
    ASSERT_GE(current = next, 0) << i;
  }
  const int file = ::openat(current, "bottom.txt", O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(file, 0);
  ::close(file);
  ::close(current);
}

// A tree like that of a peer's package that once could never be removed (32,000 nested folders):
// far deeper than the descriptor limit, its paths twice PATH_MAX.
TEST(TreeRemoval, ATreeDeeperThanTheDescriptorLimitGoesWhole) {
  const testing::ScopedFolder folder;
  const fs::path top = folder.path() / "attachment";
  fs::create_directory(top);
  make_deep_tree(top, 4096);
  std::ofstream(top / "beside.txt") << "x";
  EXPECT_EXIT(
      {
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = 64;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) std::_Exit(9);
        try {
          remove_tree(top);
        } catch (const std::exception& e) {
          std::fprintf(stderr, "%s\n", e.what());
          std::_Exit(1);
        }
        std::_Exit(fs::exists(top) ? 2 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(TreeRemoval, LinksAreRemovedNeverFollowedAndAMissingPathIsNoFailure) {
  const testing::ScopedFolder folder;
  const fs::path outside = folder.path() / "outside";
  fs::create_directories(outside / "inner");
  std::ofstream(outside / "inner" / "kept.txt") << "kept";
  const fs::path top = folder.path() / "top";
  fs::create_directories(top / "a" / "b");
  std::ofstream(top / "a" / "b" / "f.txt") << "f";
  fs::create_directory_symlink(outside, top / "a" / "to-folder");
  fs::create_symlink(outside / "inner" / "kept.txt", top / "to-file");
  ASSERT_EQ(::mkfifo((top / "a" / "fifo").c_str(), 0600), 0);

  remove_tree(top);
  EXPECT_FALSE(fs::exists(fs::symlink_status(top)));
  EXPECT_TRUE(fs::exists(outside / "inner" / "kept.txt"));

  fs::create_directory_symlink(outside, folder.path() / "link");
  remove_tree(folder.path() / "link");  // the link, not the folder it names
  EXPECT_FALSE(fs::exists(fs::symlink_status(folder.path() / "link")));
  EXPECT_TRUE(fs::exists(outside / "inner" / "kept.txt"));
  remove_tree(outside / "inner" / "kept.txt");  // a file alone
  EXPECT_FALSE(fs::exists(outside / "inner" / "kept.txt"));
  EXPECT_NO_THROW(remove_tree(folder.path() / "missing"));
}

// What cannot be removed stays and is named by the failure; everything else goes. Run as root,
// the child drops to the unprivileged "nobody", for whom a folder without write permission means
// what it says.
TEST(TreeRemoval, WhatCannotBeRemovedIsNamedAndTheRestStillGoes) {
  const testing::ScopedFolder folder;
  const fs::path top = folder.path() / "top";
  const fs::path locked = top / "b" / "locked";
  fs::create_directories(locked);
  std::ofstream(locked / "stuck.txt") << "x";
  for (const char* name : {"a.txt", "b/c.txt", "z.txt"}) std::ofstream(top / name) << "x";
  fs::create_directories(top / "z" / "deeper");
  testing::hand_to_nobody(folder.path());
  ASSERT_EQ(::chmod(locked.c_str(), 0500), 0);
  EXPECT_EXIT(
      {
        if (!testing::become_nobody()) std::_Exit(9);
        try {
          remove_tree(top);
        } catch (const OSError& e) {
          std::fprintf(stderr, "%s\n", e.what());
          std::_Exit(e.error_number() == EACCES && e.path() == locked / "stuck.txt" ? 0 : 1);
        }
        std::_Exit(3);
      },
      ::testing::ExitedWithCode(0), "Permission denied");
  ::chmod(locked.c_str(), 0700);
  std::vector<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(top))
    left.push_back(fs::relative(entry.path(), top).string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"b", "b/locked", "b/locked/stuck.txt"}));
}

}  // namespace
}  // namespace velmora::utils
