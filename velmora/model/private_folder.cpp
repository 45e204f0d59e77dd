#include "velmora/model/private_folder.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "velmora/utils/error.hpp"

namespace velmora::model {

void make_private_folder(const std::filesystem::path& path, std::string_view what) {
  if (::mkdir(path.c_str(), 0700) == 0) return;
  if (errno != EEXIST) throw utils::OSError(errno, path);
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) throw utils::OSError(errno, path);
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
    throw utils::RuntimeError("'" + path.string() + "' is no folder of this user, so it cannot " +
                              "be " + std::string(what));
  if ((info.st_mode & 07777) != 0700 && ::chmod(path.c_str(), 0700) != 0)
    throw utils::OSError(errno, path);
}

}  // namespace velmora::model
