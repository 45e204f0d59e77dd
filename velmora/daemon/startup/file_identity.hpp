#pragma once
// Which file a name stands for, by device and inode, so that a process removes at exit only the
// files it wrote, not ones another process has put under the same names since.

#include <sys/types.h>

#include <filesystem>
#include <optional>

namespace velmora::daemon {

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The file path names itself (a link is not followed); null when nothing has that name. OSError
// for another failure.
std::optional<FileIdentity> identity_of(const std::filesystem::path& path);
// The file open on fd. OSError on failure.
FileIdentity identity_of(int fd);

enum class Removal { removed, missing, replaced };

// Removes path when it still names file; leaves another file of that name alone.
Removal remove_if_same(const std::filesystem::path& path, const FileIdentity& file);

}  // namespace velmora::daemon
