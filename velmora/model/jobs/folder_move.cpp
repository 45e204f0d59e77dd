#include "velmora/model/jobs/folder_move.hpp"

#include <stdio.h>
#include <stdlib.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "velmora/model/received_folder.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {
namespace {

namespace fs = std::filesystem;

// A fresh empty folder in the folder of to, named after it, on to's file system.
fs::path make_folder_beside(const fs::path& to) {
  std::string hidden = ".";
  hidden += to.filename().string();
  hidden += ".moving-XXXXXX";
  std::string name = (to.parent_path() / hidden).string();
  if (::mkdtemp(name.data()) == nullptr) throw utils::OSError(errno, to);
  return name;
}

}  // namespace

void move_folder(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return;
  if (errno != EXDEV) throw utils::OSError(errno, to);

  ReceivedFolder copy(make_folder_beside(to));
  std::error_code error;
  fs::copy(from, *copy.path(), fs::copy_options::recursive | fs::copy_options::copy_symlinks,
           error);
  if (error) throw utils::OSError(error.value(), to);
  if (::rename(copy.path()->c_str(), to.c_str()) != 0) throw utils::OSError(errno, to);
  copy.release();
  ReceivedFolder(from).remove();  // the folder is in place; a leftover loses nothing
}

}  // namespace velmora::model
