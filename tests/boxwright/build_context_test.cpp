#include "velmora/boxwright/engine/build_context.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>

#include "testing/scoped_folder.hpp"
#include "testing/unprivileged.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::boxwright::engine {
namespace {

struct Entry {
  int type;
  std::string content;  // file data, or a link's target
  la_int64_t uid;
};

std::map<std::string, Entry> read_tar(const std::filesystem::path& file) {
  std::map<std::string, Entry> entries;
  archive* tar = archive_read_new();
  archive_read_support_format_tar(tar);
  EXPECT_EQ(archive_read_open_filename(tar, file.c_str(), 10240), ARCHIVE_OK);
  archive_entry* entry;
  while (archive_read_next_header(tar, &entry) == ARCHIVE_OK) {
    Entry e{static_cast<int>(archive_entry_filetype(entry)), "", archive_entry_uid(entry)};
    if (e.type == AE_IFLNK) e.content = archive_entry_symlink(entry);
    char buffer[4096];
    for (la_ssize_t n; (n = archive_read_data(tar, buffer, sizeof buffer)) > 0;)
      e.content.append(buffer, static_cast<std::size_t>(n));
    entries[archive_entry_pathname(entry)] = e;
  }
  archive_read_free(tar);
  return entries;
}

TEST(BuildContext, ArchivesTheFolderUnderRelativeNames) {
  const testing::ScopedFolder folder;
  const testing::ScopedFolder outside;
  const auto& root = folder.path();
  std::ofstream(root / "Dockerfile") << "FROM scratch\n";
  std::filesystem::create_directories(root / "data" / "deep");
  std::ofstream(root / "data" / "deep" / "x.txt") << std::string(100000, 'x');
  std::ofstream(outside.path() / "secret") << "secret";
  std::filesystem::create_symlink(outside.path() / "secret", root / "link");
  ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);

  const auto tar = outside.path() / "context.tar";
  write_build_context(root / "", tar);  // a trailing separator changes nothing
  const auto entries = read_tar(tar);

  std::vector<std::string> names;
  for (const auto& [name, entry] : entries) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"Dockerfile", "data/", "data/deep/", "data/deep/x.txt",
                                             "link"}));
  EXPECT_EQ(entries.at("Dockerfile").content, "FROM scratch\n");
  EXPECT_EQ(entries.at("data/deep/x.txt").content, std::string(100000, 'x'));
  EXPECT_EQ(entries.at("data/").type, AE_IFDIR);
  EXPECT_EQ(entries.at("link").type, AE_IFLNK);  // kept as a link, never followed
  EXPECT_EQ(entries.at("link").content, (outside.path() / "secret").string());
  for (const auto& [name, entry] : entries) EXPECT_EQ(entry.uid, 0) << name;
}

TEST(BuildContext, RefusesWhatIsNoFolder) {
  const testing::ScopedFolder folder;
  std::ofstream(folder.path() / "file") << "x";
  const auto tar = folder.path() / "context.tar";
  for (const auto& [path, error_number] :
       {std::pair{folder.path() / "file", ENOTDIR}, {folder.path() / "missing", ENOENT}}) {
    try {
      write_build_context(path, tar);
      ADD_FAILURE() << "no error for " << path;
    } catch (const utils::OSError& e) {
      EXPECT_EQ(e.error_number(), error_number);
      EXPECT_EQ(e.path(), path);
    }
  }
}

// Archives root in a child process and exits 0 when that fails with EACCES naming unreadable.
// Run as root, the child drops to the unprivileged "nobody", for whom mode 000 means what it says.
void expect_access_denied(const std::filesystem::path& root,
                          const std::filesystem::path& unreadable) {
  testing::hand_to_nobody(root.parent_path());
  ASSERT_EQ(::chmod(unreadable.c_str(), 0), 0);
  EXPECT_EXIT(
      {
        if (!testing::become_nobody()) std::_Exit(9);
        try {
          write_build_context(root, root.parent_path() / "context.tar");
        } catch (const utils::OSError& e) {
          std::fprintf(stderr, "%s\n", e.what());
          std::_Exit(e.error_number() == EACCES && e.path() == unreadable ? 0 : 1);
        } catch (const std::exception& e) {
          std::fprintf(stderr, "%s\n", e.what());
          std::_Exit(2);
        }
        std::_Exit(3);
      },
      ::testing::ExitedWithCode(0), "Permission denied");
  ::chmod(unreadable.c_str(), 0700);
}

TEST(BuildContext, WhatCannotBeReadInsideIsAnOSErrorNamingIt) {
  for (const bool folder_locked : {true, false}) {
    const testing::ScopedFolder folder;
    const auto root = folder.path() / "job";
    std::filesystem::create_directories(root / "data" / "inner");
    std::ofstream(root / "Dockerfile") << "FROM scratch\n";
    std::ofstream(root / "data" / "inner" / "secret") << "x";
    expect_access_denied(root, folder_locked ? root / "data" / "inner"
                                             : root / "data" / "inner" / "secret");
  }
}

}  // namespace
}  // namespace velmora::boxwright::engine
