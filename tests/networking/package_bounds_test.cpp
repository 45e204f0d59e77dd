// The bounds of one package on the reading side (an archive's directory) and on the sending side
// (a folder that no receiver would unpack is refused before it is sent).
#include "velmora/networking/package/package_bounds.hpp"

#include <gtest/gtest.h>

#include "files_and_keys.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/networking/package/package_file.hpp"
#include "velmora/networking/package/zip_archive.hpp"
#include "zip_maker.hpp"

namespace velmora::networking::package {
namespace {

namespace fs = std::filesystem;

// The text of what f throws as E, or "no error".
template <class E, class F>
std::string refusal(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "no error";
}

TEST(PackageBounds, AnArchivesDirectoryIsHeldToItsEntriesAndBytesBeforeItIsRead) {
  const testing::ScopedFolder folder;
  std::vector<TestMember> members(11);
  for (std::size_t i = 0; i < members.size(); ++i) members[i].name = {'m', char('a' + i)};
  make_zip(folder.path() / "a.zip", members);
  EXPECT_EQ(refusal<OverBound>([&] { ZipReader(folder.path() / "a.zip", {.entries = 10}); }),
            "the archive lists 11 members, more than 10");
  EXPECT_EQ(refusal<OverBound>(
                [&] { ZipReader(folder.path() / "a.zip", {.directory_bytes = 100}); }),
            "the archive's directory takes 528 bytes, more than 100 bytes");  // 11 x (46 + 2)
  EXPECT_EQ(ZipReader(folder.path() / "a.zip", {.entries = 11}).size(), 11u);
}

TEST(PackageBounds, AFolderPastWhatAReceiverUnpacksIsRefusedBeforeAnythingIsWritten) {
  const testing::ScopedFolder folder;
  const fs::path job = folder.path() / "job";
  write_file(job / "a" / "b" / "c.txt", "0123456789");
  write_file(job / "abcdef.txt", "x");
  const fs::path archive = folder.path() / "out.zip";
  const struct {
    PackageBounds bounds;
    std::string why;
  } cases[] = {
      {{.entries = 3}, "more than 3 entries"},
      {{.bytes = 10}, "more than 10 bytes"},
      {{.path_depth = 2}, "the member a/b/c.txt lies 3 components deep, more than 2"},
      {{.path_length = 9}, "the member abcdef.txt has a name of 10 bytes, more than 9"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(refusal<utils::ValueError>([&] { write_folder_zip(job, archive, 6, c.bounds); }),
              "the folder " + job.string() + " is more than a receiving node unpacks: " + c.why);
    EXPECT_FALSE(fs::exists(archive)) << c.why;
  }
  write_folder_zip(job, archive, 6, {.bytes = 11, .entries = 4, .path_depth = 3});
  EXPECT_EQ(ZipReader(archive).size(), 4u);

  const std::string label(kMaxLabelBytes + 1, ' ');
  fs::create_directory(folder.path() / "work");
  EXPECT_EQ(refusal<utils::ValueError>([&] {
              write_package(folder.path() / "p.zip", label, {}, folder.path() / "work");
            }),
            "the package's label is larger than 65536 bytes, which no node takes");
  EXPECT_FALSE(fs::exists(folder.path() / "p.zip"));
}

}  // namespace
}  // namespace velmora::networking::package
