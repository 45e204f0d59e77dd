// What the job road does with folders on its own: a launch's name from its folder, and results
// moved into the results folder, also from another file system.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <string>

#include "testing/file_tree.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/model/jobs/folder_move.hpp"
#include "velmora/model/jobs/job_name.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {
namespace {

namespace fs = std::filesystem;

TEST(JobName, IsTheFoldersLastComponentWithoutItsLastSuffix) {
  const std::pair<std::string, std::string> cases[] = {
      {"/data/sim.new", "sim"}, {"sim", "sim"},         {"a.tar.gz", "a.tar"},
      {".hidden", ".hidden"},   {"sim.", "sim."},       {"/data/sim/", "sim"},
      {"/data/sim.v1//", "sim"}, {"sim/.", "sim"},      {"jobs/..", ".."},
      {"/", ""},                {"", ""},               {"a.b/c", "c"},
  };
  for (const auto& [folder, name] : cases) EXPECT_EQ(job_name_of(folder), name) << folder;
}

class FolderMove : public ::testing::Test {
 protected:
  FolderMove() {
    std::ofstream(from_ / "output.log") << "hello\n";
    fs::create_directories(from_ / "filesys" / "out");
    std::ofstream(from_ / "filesys" / "out" / "result.txt") << "42\n";
  }

  // The move that must fail, and its error number; from is kept whole, nothing else left.
  int failed_move(const fs::path& to) {
    int error = 0;
    try {
      move_folder(from_, to);
      ADD_FAILURE() << "moved";
    } catch (const utils::OSError& e) {
      error = e.error_number();
    }
    EXPECT_EQ(testing::file_tree(from_), kResults);
    return error;
  }

  static inline const std::map<std::string, std::string> kResults{
      {"filesys", "<folder>"}, {"filesys/out", "<folder>"}, {"filesys/out/result.txt", "42\n"},
      {"output.log", "hello\n"}};
  testing::ScopedFolder source_;
  fs::path from_ = source_.path();
  testing::ScopedFolder results_;
};

TEST_F(FolderMove, RenamesAndReplacesAnEmptyFolderButNoOtherEntry) {
  fs::create_directories(results_.path() / "taken" / "x");
  EXPECT_EQ(failed_move(results_.path() / "taken"), ENOTEMPTY);
  std::ofstream(results_.path() / "file") << "";
  EXPECT_EQ(failed_move(results_.path() / "file"), ENOTDIR);
  EXPECT_EQ(failed_move(results_.path() / "missing" / "sim"), ENOENT);

  fs::create_directory(results_.path() / "empty");
  move_folder(from_, results_.path() / "empty");
  EXPECT_EQ(testing::file_tree(results_.path() / "empty"), kResults);
  EXPECT_FALSE(fs::exists(from_));
}

// The temporary folder and the results folder on two file systems: copied, then renamed.
TEST_F(FolderMove, CopiesAcrossFileSystems) {
  struct stat shm {}, tmp {};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(from_.c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev)
    GTEST_SKIP() << "needs /dev/shm on a file system of its own";
  const fs::path results = fs::path("/dev/shm") / results_.path().filename();  // a unique name
  fs::create_directory(results);
  struct Remove {
    fs::path path;
    ~Remove() { fs::remove_all(path); }
  } remove{results};

  fs::create_directory(results / "taken");
  std::ofstream(results / "taken" / "x") << "";
  EXPECT_EQ(failed_move(results / "taken"), ENOTEMPTY);
  EXPECT_EQ(std::distance(fs::directory_iterator(results), fs::directory_iterator()), 1)
      << "no copy left beside it";

  move_folder(from_, results / "sim_1");
  EXPECT_EQ(testing::file_tree(results / "sim_1"), kResults);
  EXPECT_FALSE(fs::exists(from_));
}

}  // namespace
}  // namespace velmora::model
