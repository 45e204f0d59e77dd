#include "velmora/boxwright/results/change_selection.hpp"

#include <gtest/gtest.h>

#include "velmora/utils/error.hpp"

namespace velmora::boxwright {
namespace {

using utils::Value;

struct Selection {
  const char* path;
  int kind;
  bool selected;
};

Value entry(const char* path, int kind) { return {{"Path", path}, {"Kind", kind}}; }

TEST(ChangeSelection, LinuxTakesAddedPathsOutsideUsrLocalLib) {
  const Selection cases[] = {
      {"/out/result.txt", 1, true},
      {"/out", 1, true},
      {"/usr/local/lib/libx.so", 1, false},
      {"/usr/local/lib64/libx.so", 1, false},  // a substring test, not a prefix test
      {"/opt/usr/local/library/x", 1, false},
      {"/usr/local/bin/tool", 1, true},
      {"/etc/hosts", 0, false},  // changed
      {"/tmp/gone", 2, false},   // deleted
  };
  for (const Selection& c : cases)
    EXPECT_EQ(selected_on_linux(entry(c.path, c.kind)), c.selected) << c.path << " " << c.kind;
}

TEST(ChangeSelection, WindowsTakesAddedPathsAndChangedDataFiles) {
  const Selection cases[] = {
      {"Files/data/out.txt", 0, true},
      {"Files/data/run.log", 0, true},
      {"Files/data/Makefile", 0, true},        // no suffix
      {"Files/data/archive.tar.gz", 0, true},  // the suffix is ".gz"
      {"Files/data/out.CSV", 0, true},         // fragments heed letter case
      {"Files/data/.hidden", 0, true},         // a leading "." starts no suffix
      {"Files/data/trailing.", 0, true},       // nor does a final one
      {"Files/data/out.csv", 0, false},
      {"Files/data/main.cpp", 0, false},
      {"Files/data/model.hdf5", 0, false},
      {"Files/data/trace.blf", 0, false},
      {"Files/data/notes.rst", 0, false},
      {"Files/data/pack.rar", 0, false},
      {"Files/data", 0, false},  // the data folder itself
      {"Files/other/out.txt", 0, false},
      {"Files/Users/x/out.csv", 1, true},  // added: whatever its path
      {"Files/data/out.txt", 2, false},
  };
  for (const Selection& c : cases)
    EXPECT_EQ(selected_on_windows(entry(c.path, c.kind)), c.selected) << c.path << " " << c.kind;
}

TEST(ChangeSelection, EntriesWithoutPathOrKindAreRefused) {
  for (const auto selected : {&selected_on_linux, &selected_on_windows}) {
    EXPECT_THROW(selected({{"Kind", 1}}), utils::KeyError);
    EXPECT_THROW(selected({{"Path", "/x"}}), utils::KeyError);
    EXPECT_THROW(selected(Value::array({"/x", 1})), utils::KeyError);
    EXPECT_THROW(selected({{"Path", 7}, {"Kind", 1}}), utils::ValueError);
  }
}

struct Placement {
  std::string listed;
  std::string requested;
  std::string location;  // empty: no place below "filesys"
};

TEST(ChangeSelection, LinuxPathsAreRequestedRelativeAndLandAtTheirPlace) {
  const Placement cases[] = {
      {"/tmp/out/x.txt", "tmp/out/x.txt", "tmp/out/x.txt"},
      {"/out/", "out", "out"},
      {"/a/./b//c", "a/b/c", "a/b/c"},
      {"/", ".", ""},
      {"//etc/passwd", "/etc/passwd", ""},  // would be absolute here
      {"/a/../../etc", "a/../../etc", ""},  // would step out of "filesys"
  };
  for (const Placement& c : cases) {
    const ResultPath path = linux_result_path(c.listed);
    EXPECT_EQ(path.container_path, c.requested) << c.listed;
    EXPECT_EQ(path.location, c.location) << c.listed;
  }
}

TEST(ChangeSelection, WindowsDataPathsAreRequestedOnDriveC) {
  const Placement cases[] = {
      {"Files/data/out/x.txt", "C:\\data\\out\\x.txt", "data/out/x.txt"},
      {"Files/data/out.txt", "C:\\data\\out.txt", "data/out.txt"},
      {"Files/data/Files/y", "C:\\data\\y", "data/y"},  // every "Files/" goes
      {"Files/data/./a//b", "C:\\data\\a\\b", "data/a/b"},
      {"Files/data/../../x", "C:\\data\\..\\..\\x", ""},
      {"Files/Users/x.txt", "Files/Users/x.txt", ""},  // outside the data folder: no place
  };
  for (const Placement& c : cases) {
    const ResultPath path = windows_result_path(c.listed);
    EXPECT_EQ(path.container_path, c.requested) << c.listed;
    EXPECT_EQ(path.location, c.location) << c.listed;
  }
}

}  // namespace
}  // namespace velmora::boxwright
