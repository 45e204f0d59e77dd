#include "velmora/model/temp_folder.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "velmora/model/module_log.hpp"
#include "velmora/model/private_folder.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/temp_files.hpp"
#include "velmora/utils/tree_removal.hpp"

namespace velmora::model {
namespace {

namespace fs = std::filesystem;

constexpr const char* kMarkerName = ".node";
constexpr std::string_view kKeptPrefix = "kept-";

bool is_empty_folder(const fs::path& path) {
  std::error_code error;
  const bool empty = fs::is_empty(path, error);
  if (error) throw utils::OSError(error.value(), path);
  return empty;
}

}  // namespace

TempFolder::TempFolder(fs::path path) : path_(std::move(path)) {
  make_private_folder(path_, "the node's temporary folder");
  const fs::path marker = path_ / kMarkerName;
  struct stat info {};
  if (::lstat(marker.c_str(), &info) != 0 && !is_empty_folder(path_))
    throw utils::RuntimeError("'" + path_.string() +
                              "' holds files but no node's marker: it is not the node's temporary "
                              "folder, and is left as it is");
  marker_.open(marker, O_RDWR | O_CREAT | O_NOFOLLOW);
  if (::flock(marker_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      throw utils::RuntimeError("the temporary folder '" + path_.string() +
                                "' is held by another node");
    throw utils::OSError(errno, marker);
  }
}

bool TempFolder::holds(const fs::path& item) const {
  return item.parent_path() == path_ && item.has_filename() && item.filename() != "." &&
         item.filename() != "..";
}

fs::path TempFolder::keep(const fs::path& item, const std::string& name) const {
  try {
    const fs::path kept = utils::make_temp_dir(path_, std::string(kKeptPrefix) + name + "-");
    if (::rename(item.c_str(), kept.c_str()) == 0) return kept;  // onto the empty folder
    std::error_code ignored;
    fs::remove(kept, ignored);
  } catch (const utils::OSError&) {
    // a name too long: it stays where it is
  }
  return item;
}

void TempFolder::clear(const std::set<fs::path>& keep) const {
  std::vector<fs::path> left;
  std::error_code error;
  for (fs::directory_iterator entry(path_, error), end; !error && entry != end;
       entry.increment(error)) {
    const fs::path& item = entry->path();
    if (item.filename() != kMarkerName && !item.filename().string().starts_with(kKeptPrefix) &&
        !keep.contains(item))
      left.push_back(item);
  }
  if (error)
    LOG.warning("Could not read the temporary folder %s: %s", path_.string(), error.message());
  int removed = 0;
  for (const fs::path& item : left) {
    try {
      utils::remove_tree(item);  // a peer's tree may be of any depth
      ++removed;
    } catch (const std::exception& e) {
      LOG.log_error(utils::log::kWarning, e, "Could not remove %s from the temporary folder",
                    item.string());
    }
  }
  if (removed > 0)
    LOG.info("Removed %d items that an earlier run left in %s", removed, path_.string());
}

}  // namespace velmora::model
