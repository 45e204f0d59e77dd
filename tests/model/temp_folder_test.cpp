// The node's temporary folder: its owner's alone, held by one node at a time, never taken over
// from another program, and cleared of what an earlier run left.
#include "velmora/model/temp_folder.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "node_fixture.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {
namespace {

namespace fs = std::filesystem;

unsigned mode_of(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0);
  return info.st_mode & 07777;
}

class TempFolderTest : public ::testing::Test {
 protected:
  testing::ScopedFolder work_{"velmora-temp-folder-"};
  const fs::path path_ = work_.path() / std::string(kTempFolderName);
};

TEST_F(TempFolderTest, IsMadePrivateAndHeldByOneAtATime) {
  {
    const TempFolder folder(path_);
    EXPECT_EQ(mode_of(path_), 0700u);
    EXPECT_TRUE(fs::exists(path_ / ".node"));
    EXPECT_THROW(TempFolder{path_}, utils::RuntimeError);
  }
  ::chmod(path_.c_str(), 0755);
  const TempFolder again(path_);  // let go with its holder
  EXPECT_EQ(mode_of(path_), 0700u);
}

TEST_F(TempFolderTest, AFolderOfAnotherProgramIsRefusedAndLeftAsItIs) {
  fs::create_directories(path_);
  std::ofstream(path_ / "notes.txt") << "mine";
  EXPECT_THROW(TempFolder{path_}, utils::RuntimeError);
  EXPECT_TRUE(fs::exists(path_ / "notes.txt"));
  EXPECT_FALSE(fs::exists(path_ / ".node"));

  const fs::path link = work_.path() / "link";
  fs::create_directory_symlink(path_, link);
  EXPECT_THROW(TempFolder{link}, utils::RuntimeError);
}

TEST_F(TempFolderTest, ClearingRemovesAllButTheMarkerAndWhatIsKept) {
  const TempFolder folder(path_);
  fs::create_directories(path_ / "velmora-attachment-a" / "deep");
  fs::create_directories(path_ / "velmora-attachment-b");
  std::ofstream(path_ / "velmora-download-c") << "partial";
  fs::create_symlink("/", path_ / "link");
  const utils::log::LogCapture log("velmora.model");
  folder.clear({path_ / "velmora-attachment-b"});
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(path_)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".node", "velmora-attachment-b"}));
  EXPECT_TRUE(fs::exists("/"));
  EXPECT_EQ(log.messages(), std::vector<std::string>{"INFO:velmora.model:Removed 3 items that an "
                                                     "earlier run left in " + path_.string()});
  EXPECT_TRUE(folder.holds(path_ / "x"));
  EXPECT_FALSE(folder.holds(path_ / "x" / "y"));
  EXPECT_FALSE(folder.holds(path_));
  EXPECT_FALSE(folder.holds(work_.path() / "x"));
}

// Two nodes never share a working folder, and so never a temporary folder: the second is refused
// before it touches a store.
using TempFolderOfANode = NodeFixture;

TEST_F(TempFolderOfANode, ASecondNodeInTheSameFolderIsRefused) {
  lay_down_node_identity();
  const auto node = make_node();
  fs::remove(work_ / "friends.bin");
  EXPECT_THROW(make_node(), utils::RuntimeError);
  EXPECT_FALSE(exists("friends.bin"));
}

}  // namespace
}  // namespace velmora::model
