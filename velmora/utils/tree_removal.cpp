#include "velmora/utils/tree_removal.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "velmora/utils/error.hpp"
#include "velmora/utils/file_descriptor.hpp"

namespace velmora::utils {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A folder on the way down from the tree's top: how its parent names it, which folder it is, and
// the entries in it that could not be removed, which are passed over from then on.
struct Level {
  std::string name;
  dev_t device;
  ino_t inode;
  std::unordered_set<std::string> kept;
};

// One removal: the folder being emptied is the only one held open. Going down, a folder is
// opened by its name in its parent; going up, by "..", checked to be the parent it came from.
class Removal {
 public:
  explicit Removal(std::filesystem::path top) : top_(std::move(top)) {}

  void run() {
    struct stat info {};
    if (::lstat(top_.c_str(), &info) != 0) {
      if (errno != ENOENT) fail(errno, {});
      return finish();
    }
    if (!S_ISDIR(info.st_mode)) {
      if (::unlink(top_.c_str()) != 0 && errno != ENOENT) fail(errno, {});
      return finish();
    }
    FileDescriptor folder(::open(top_.c_str(), kFolderFlags));
    if (!folder.is_open()) {
      fail(errno, {});
      return finish();
    }
    if (::fstat(folder.get(), &info) != 0) throw OSError(errno, top_);
    levels_.push_back({{}, info.st_dev, info.st_ino, {}});
    empty_tree(std::move(folder));
    if (::rmdir(top_.c_str()) != 0 && errno != ENOENT) fail(errno, {});
    finish();
  }

 private:
  // Empties the tree below folder, the top, going down into each folder and back up.
  void empty_tree(FileDescriptor folder) {
    for (;;) {
      if (std::optional<FileDescriptor> child = empty_files_until_folder(folder.get())) {
        folder = std::move(*child);
        continue;
      }
      if (levels_.size() == 1) return;
      std::optional<FileDescriptor> parent = open_parent(folder.get());
      if (!parent) return;  // moved away meanwhile: what is left stays
      folder = std::move(*parent);
      const std::string name = std::move(levels_.back().name);
      levels_.pop_back();
      if (::unlinkat(folder.get(), name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        fail(errno, name);
        levels_.back().kept.insert(name);
      }
    }
  }

  // Removes the entries of folder that are no folders, up to the first folder that may be
  // entered, which it opens and answers as the next level; none when no such folder is left.
  std::optional<FileDescriptor> empty_files_until_folder(int folder) {
    const int listed = ::dup(folder);
    if (listed < 0) throw OSError(errno, top_);
    DIR* const entries = ::fdopendir(listed);
    if (!entries) {
      ::close(listed);
      throw OSError(errno, top_);
    }
    ::rewinddir(entries);  // the duplicate shares the position of every earlier listing
    std::optional<FileDescriptor> next;
    Level& level = levels_.back();
    while (const dirent* entry = ::readdir(entries)) {
      const std::string name = entry->d_name;
      if (name == "." || name == ".." || level.kept.contains(name)) continue;
      if (is_folder(folder, *entry)) {
        if ((next = enter(folder, name))) break;
      } else if (::unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT) {
        fail(errno, name);
        level.kept.insert(name);
      }
    }
    ::closedir(entries);
    return next;
  }

  static bool is_folder(int folder, const dirent& entry) {
    if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_DIR;
    struct stat info {};
    return ::fstatat(folder, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(info.st_mode);
  }

  // The folder name in folder, opened as the next level; none when it cannot be entered (then
  // kept) or has gone.
  std::optional<FileDescriptor> enter(int folder, const std::string& name) {
    FileDescriptor child(::openat(folder, name.c_str(), kFolderFlags));
    struct stat info {};
    if (!child.is_open() || ::fstat(child.get(), &info) != 0) {
      if (errno != ENOENT) {
        fail(errno, name);
        levels_.back().kept.insert(name);
      }
      return std::nullopt;
    }
    levels_.push_back({name, info.st_dev, info.st_ino, {}});
    return child;
  }

  // The folder above folder, when it is the one the removal came down from.
  std::optional<FileDescriptor> open_parent(int folder) {
    FileDescriptor parent(::openat(folder, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!parent.is_open() || ::fstat(parent.get(), &info) != 0) {
      fail(errno, {});
      return std::nullopt;
    }
    const Level& expected = levels_[levels_.size() - 2];
    if (info.st_dev != expected.device || info.st_ino != expected.inode) {
      fail(ENOENT, {});
      return std::nullopt;
    }
    return parent;
  }

  // Notes the first failure: error on name in the current level's folder (the level itself when
  // name is empty).
  void fail(int error, const std::string& name) {
    if (failure_) return;
    std::filesystem::path path = top_;
    for (std::size_t i = 1; i < levels_.size(); ++i) path /= levels_[i].name;
    if (!name.empty()) path /= name;
    failure_.emplace(error, path);
  }

  void finish() const {
    if (failure_) throw *failure_;
  }

  const std::filesystem::path top_;
  std::vector<Level> levels_;  // from the top down to the folder being emptied
  std::optional<OSError> failure_;
};

}  // namespace

void remove_tree(const std::filesystem::path& path) { Removal(path).run(); }

}  // namespace velmora::utils
