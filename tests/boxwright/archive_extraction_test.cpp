// The extractor fed archives built here with libarchive's writer, hostile ones among them.
#include "velmora/boxwright/results/archive_extraction.hpp"

#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "testing/file_tree.hpp"
#include "testing/scoped_folder.hpp"
#include "testing/tar_writer.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/file_descriptor.hpp"

namespace velmora::boxwright {
namespace {

using Tree = std::map<std::string, std::string>;
using testing::TarWriter;

class Extraction : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory(target_); }

  // What extracting the archive file left out.
  std::vector<RefusedEntry> extract(const std::filesystem::path& tar) {
    utils::FileDescriptor in;
    in.open(tar, O_RDONLY);
    std::vector<RefusedEntry> refused;
    extract_archive(in.get(), target_,
                    [&refused](const RefusedEntry& entry) { refused.push_back(entry); });
    return refused;
  }

  // The archive that write makes, extracted.
  std::vector<RefusedEntry> extract(const std::function<void(TarWriter&)>& write) {
    TarWriter writer;
    write(writer);
    return extract(saved(writer.bytes()));
  }

  std::filesystem::path saved(const std::string& bytes) {
    const auto file = scratch_.path() / "archive.tar";
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }

  testing::ScopedFolder root_;  // holds the target and nothing else, so escapes show
  testing::ScopedFolder scratch_;
  std::filesystem::path target_ = root_.path() / "target";
};

TEST_F(Extraction, WritesFoldersAndFilesBelowTheTarget) {
  const auto refused = extract([](TarWriter& tar) {
    tar.folder("out/")
        .file("out/result.txt", "42\n", 0640, 1'600'000'000)
        .file("./deep/er/x.txt", "x")  // parent folders that the archive does not list
        .file("out//y.txt", "y")
        .folder(".");
  });
  EXPECT_TRUE(refused.empty());
  EXPECT_EQ(testing::file_tree(target_), (Tree{{"out", "<folder>"},
                                               {"out/result.txt", "42\n"},
                                               {"out/y.txt", "y"},
                                               {"deep", "<folder>"},
                                               {"deep/er", "<folder>"},
                                               {"deep/er/x.txt", "x"}}));
  struct stat info {};
  ASSERT_EQ(::stat((target_ / "out/result.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1'600'000'000);
  EXPECT_EQ(info.st_uid, ::getuid());  // owners are never restored
}

TEST_F(Extraction, KeepsNoSetIdBitsAndLeavesTheNodeAbleToReadAndRemove) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  extract([](TarWriter& tar) {
    tar.file("setuid", "s", 04755)
        .file("setgid", "g", 02755)
        .file("locked", "l", 0)
        .folder("sticky", 01777)
        .folder("closed", 0)
        .file("closed/inside", "i", 0444);
  });
  const auto mode_of = [&](const char* name) {
    struct stat info {};
    EXPECT_EQ(::lstat((target_ / name).c_str(), &info), 0) << name;
    return info.st_mode & 07777;
  };
  EXPECT_EQ(mode_of("setuid"), 0755 & ~mask);
  EXPECT_EQ(mode_of("setgid"), 0755 & ~mask);
  EXPECT_EQ(mode_of("locked"), 0600 & ~mask);
  EXPECT_EQ(mode_of("sticky"), 0777 & ~mask);
  EXPECT_EQ(mode_of("closed"), 0700 & ~mask);
  EXPECT_EQ(mode_of("closed/inside"), 0644 & ~mask);
}

TEST_F(Extraction, RefusesWhatCouldLeadOutsideAndWhatIsNoFileOrFolder) {
  struct Case {
    std::function<void(TarWriter&)> hostile;
    std::string name;
    Refusal refusal;
  };
  const Case cases[] = {
      {[](TarWriter& t) { t.file("/etc/velmora-escape", "x"); }, "/etc/velmora-escape",
       Refusal::kAbsoluteName},
      {[](TarWriter& t) { t.file("../escape", "x"); }, "../escape", Refusal::kParentStep},
      {[](TarWriter& t) { t.file("a/../../escape", "x"); }, "a/../../escape", Refusal::kParentStep},
      {[](TarWriter& t) { t.folder("../up/"); }, "../up/", Refusal::kParentStep},
      {[](TarWriter& t) { t.symlink("passwd", "/etc/passwd"); }, "passwd", Refusal::kSymbolicLink},
      {[](TarWriter& t) { t.symlink("up", ".."); }, "up", Refusal::kSymbolicLink},
      {[](TarWriter& t) { t.hardlink("passwd", "/etc/passwd"); }, "passwd", Refusal::kHardLink},
      {[](TarWriter& t) { t.hardlink("twin", "../escape"); }, "twin", Refusal::kHardLink},
      {[](TarWriter& t) { t.special("null", AE_IFCHR); }, "null", Refusal::kDevice},
      {[](TarWriter& t) { t.special("disk", AE_IFBLK); }, "disk", Refusal::kDevice},
      {[](TarWriter& t) { t.special("pipe", AE_IFIFO); }, "pipe", Refusal::kFifo},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(target_);
    std::filesystem::create_directory(target_);
    const auto refused = extract([&](TarWriter& tar) {
      tar.file("before.txt", "b");
      c.hostile(tar);
      tar.file("after.txt", "a");  // what follows a refused entry still comes
    });
    ASSERT_EQ(refused.size(), 1u) << c.name;
    EXPECT_EQ(refused[0].name, c.name);
    EXPECT_EQ(refused[0].refusal, c.refusal) << c.name << ": " << refusal_text(refused[0].refusal);
    EXPECT_EQ(testing::file_tree(root_.path()),
              (Tree{{"target", "<folder>"}, {"target/before.txt", "b"}, {"target/after.txt", "a"}}))
        << c.name;
  }
  EXPECT_FALSE(std::filesystem::exists("/etc/velmora-escape"));
}

TEST_F(Extraction, NeverWritesThroughALinkThatIsAlreadyThere) {
  const testing::ScopedFolder outside;
  std::filesystem::create_directory_symlink(outside.path(), target_ / "dir");
  std::filesystem::create_symlink(outside.path() / "file", target_ / "file");
  const auto refused = extract([&](TarWriter& tar) {
    tar.file("dir/x", "through the folder link")
        .file("file", "in place of the file link")
        .symlink("made", outside.path().string())  // a link of the archive's own, then a path
        .file("made/x", "below it");               // through it
  });
  ASSERT_EQ(refused.size(), 2u);
  EXPECT_EQ(refused[0].name, "dir/x");
  EXPECT_EQ(refused[0].refusal, Refusal::kInTheWay);
  EXPECT_EQ(refused[1].refusal, Refusal::kSymbolicLink);
  EXPECT_TRUE(std::filesystem::is_empty(outside.path()));
  EXPECT_EQ(testing::file_content(target_ / "file"), "in place of the file link");
  EXPECT_FALSE(std::filesystem::is_symlink(target_ / "file"));
  EXPECT_EQ(testing::file_content(target_ / "made" / "x"), "below it");
  EXPECT_FALSE(std::filesystem::is_symlink(target_ / "made"));
}

TEST_F(Extraction, LaterEntriesReplaceFilesAndFillFolders) {
  const auto refused = extract([](TarWriter& tar) {
    tar.file("f", "first", 0444)
        .file("f", "second")
        .folder("d/")
        .file("d/in", "1")
        .folder("d/")
        .file("d", "a file where a folder is")
        .file("f/x", "below a file");
  });
  ASSERT_EQ(refused.size(), 2u);
  EXPECT_EQ(refused[0].name, "d");
  EXPECT_EQ(refused[1].name, "f/x");
  EXPECT_EQ(refused[1].refusal, Refusal::kInTheWay);
  EXPECT_EQ(refused[1].location, "f/x");
  EXPECT_EQ(testing::file_tree(target_), (Tree{{"f", "second"}, {"d", "<folder>"}, {"d/in", "1"}}));
}

TEST_F(Extraction, DataThatIsNoArchiveIsAValueError) {
  EXPECT_THROW(extract(saved(std::string(4096, 'g'))), utils::ValueError);

  // A cut-off archive keeps what came whole before the cut.
  TarWriter tar;
  const std::string whole = tar.file("first", "1").file("second", std::string(100000, 's')).bytes();
  EXPECT_THROW(extract(saved(whole.substr(0, 512 * 3 + 50000))), utils::ValueError);
  EXPECT_EQ(testing::file_content(target_ / "first"), "1");
}

}  // namespace
}  // namespace velmora::boxwright
