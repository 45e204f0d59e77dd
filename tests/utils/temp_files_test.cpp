#include "velmora/utils/temp_files.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "testing/environment_setting.hpp"

namespace velmora::utils {
namespace {

mode_t mode_of(const std::filesystem::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_mode & 0777;
}

TEST(TempFiles, MadeFreshAndPrivateInTheFolderGiven) {
  const auto root = std::filesystem::temp_directory_path() / "velmora-tmpdir-test";
  std::filesystem::create_directories(root);
  const testing::EnvironmentSetting tmpdir("TMPDIR", root.string());
  EXPECT_EQ(temp_directory(), root);

  const auto dir_a = make_temp_dir(root, "job");
  const auto dir_b = make_temp_dir(root, "job");
  const auto file = make_temp_file(root, "pkg", ".zip");
  EXPECT_NE(dir_a, dir_b);
  EXPECT_EQ(dir_a.parent_path(), root);
  EXPECT_TRUE(dir_a.filename().string().starts_with("job"));
  EXPECT_TRUE(file.filename().string().starts_with("pkg"));
  EXPECT_EQ(file.extension(), ".zip");
  EXPECT_EQ(mode_of(dir_a), 0700u);
  EXPECT_EQ(mode_of(file), 0600u);
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace velmora::utils
