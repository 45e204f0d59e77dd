#include "velmora/daemon/startup/file_identity.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "velmora/utils/error.hpp"

namespace velmora::daemon {

std::optional<FileIdentity> identity_of(const std::filesystem::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return std::nullopt;
    throw utils::OSError(errno, path);
  }
  return FileIdentity{info.st_dev, info.st_ino};
}

FileIdentity identity_of(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) throw utils::OSError(errno, "/proc/self/fd/" + std::to_string(fd));
  return FileIdentity{info.st_dev, info.st_ino};
}

Removal remove_if_same(const std::filesystem::path& path, const FileIdentity& file) {
  const std::optional<FileIdentity> named = identity_of(path);
  if (!named) return Removal::missing;
  if (*named != file) return Removal::replaced;
  if (::unlink(path.c_str()) != 0) {
    if (errno == ENOENT) return Removal::missing;
    throw utils::OSError(errno, path);
  }
  return Removal::removed;
}

}  // namespace velmora::daemon
