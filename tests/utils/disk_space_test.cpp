#include "velmora/utils/disk_space.hpp"

#include <gtest/gtest.h>

#include "testing/scoped_folder.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::utils {
namespace {

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

TEST(DiskSpace, AnAllowanceHoldsToItsMostAndKeepsTheReserveFree) {
  const testing::ScopedFolder folder;
  WriteAllowance bounded(folder.path(), 3 * kMiB, 0);
  EXPECT_TRUE(bounded.take(2 * kMiB));
  EXPECT_FALSE(bounded.take(2 * kMiB));  // refused whole, nothing counted
  EXPECT_TRUE(bounded.take(kMiB));
  EXPECT_EQ(bounded.taken(), 3 * kMiB);
  EXPECT_FALSE(bounded.take(1));
  EXPECT_TRUE(bounded.take(0));

  // A reserve that leaves 256 MiB of what is free now: what others write meanwhile hardly matters.
  const std::uint64_t free = writable_bytes(folder.path(), 0);
  ASSERT_GT(free, 512 * kMiB) << "the test needs free disk";
  EXPECT_EQ(writable_bytes(folder.path(), free + kMiB), 0u);
  WriteAllowance near_full(folder.path(), UINT64_MAX, free - 256 * kMiB);
  EXPECT_TRUE(near_full.take(kMiB));
  EXPECT_FALSE(near_full.take(1024 * kMiB));
  EXPECT_EQ(near_full.taken(), kMiB);

  EXPECT_THROW(writable_bytes(folder.path() / "missing"), OSError);
}

}  // namespace
}  // namespace velmora::utils
