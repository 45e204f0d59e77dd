#include "velmora/utils/tree_removal.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "velmora/utils/error.hpp"

namespace velmora::utils {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// The deepest levels whose listings stay open, so that a folder is read once, from its first
// entry to its last, and nothing is ever named by a path; a level above them is closed and read
// again from its start once the removal comes back up to it.
constexpr std::size_t kOpenLevels = 16;

struct CloseListing {
  void operator()(DIR* listing) const noexcept { ::closedir(listing); }
};
using Listing = std::unique_ptr<DIR, CloseListing>;

// The listing of the folder that descriptor fd names, which it takes over; null when it cannot be
// made (fd is closed then).
Listing listing_of(int fd) {
  DIR* const listing = ::fdopendir(fd);
  if (!listing) ::close(fd);
  return Listing(listing);
}

// A folder on the way down from the tree's top: how its parent names it, which folder it is, its
// listing while it is open, and the entries in it that could not be removed, passed over from
// then on.
struct Level {
  std::string name;
  dev_t device;
  ino_t inode;
  Listing listing;
  std::unordered_set<std::string> kept;
};

// One removal. Each level is read by its own listing, its entries removed relative to it as they
// come: a file at once, a folder once the removal has emptied it and come back up.
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
    const int fd = ::open(top_.c_str(), kFolderFlags);
    if (fd < 0 || ::fstat(fd, &info) != 0) {
      fail(errno, {});
      if (fd >= 0) ::close(fd);
      return finish();
    }
    Listing listing = listing_of(fd);
    if (!listing) throw OSError(errno, top_);
    levels_.push_back({{}, info.st_dev, info.st_ino, std::move(listing), {}});
    empty_tree();
    levels_.clear();
    if (::rmdir(top_.c_str()) != 0 && errno != ENOENT) fail(errno, {});
    finish();
  }

 private:
  void empty_tree() {
    for (;;) {
      Level& level = levels_.back();
      const int folder = ::dirfd(level.listing.get());
      errno = 0;
      if (const dirent* entry = ::readdir(level.listing.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || level.kept.contains(name)) continue;
        const bool is_a_folder = is_folder(folder, *entry);
        // An empty folder goes at once, unopened.
        if (::unlinkat(folder, name.c_str(), is_a_folder ? AT_REMOVEDIR : 0) == 0 ||
            errno == ENOENT)
          continue;
        if (is_a_folder && (errno == ENOTEMPTY || errno == EEXIST))
          enter(folder, name);
        else
          keep(errno, name);
        continue;
      }
      if (errno != 0) fail(errno, {});  // what is left of it stays
      if (levels_.size() == 1) return;
      if (!climb()) return;  // moved away meanwhile: what is left stays
    }
  }

  static bool is_folder(int folder, const dirent& entry) {
    if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_DIR;
    struct stat info {};
    return ::fstatat(folder, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(info.st_mode);
  }

  // Goes down into the folder name in folder; one that cannot be entered is kept, one gone is
  // passed over.
  void enter(int folder, const std::string& name) {
    const int fd = ::openat(folder, name.c_str(), kFolderFlags);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
      const int error = errno;
      if (fd >= 0) ::close(fd);
      if (error != ENOENT) keep(error, name);
      return;
    }
    Listing listing = listing_of(fd);
    if (!listing) return keep(errno, name);
    levels_.push_back({name, info.st_dev, info.st_ino, std::move(listing), {}});
    if (levels_.size() > kOpenLevels) levels_[levels_.size() - 1 - kOpenLevels].listing.reset();
  }

  // Leaves the emptied folder of the deepest level for its parent, reopened from it when its
  // listing was closed (and checked to be the folder the removal came down from), and removes
  // it there. False when the parent cannot be reached.
  bool climb() {
    Level& parent = levels_[levels_.size() - 2];
    if (!parent.listing) {
      const int fd = ::openat(::dirfd(levels_.back().listing.get()), "..", kFolderFlags);
      struct stat info {};
      if (fd < 0 || ::fstat(fd, &info) != 0 || info.st_dev != parent.device ||
          info.st_ino != parent.inode) {
        fail(fd < 0 ? errno : ENOENT, {});
        if (fd >= 0) ::close(fd);
        return false;
      }
      parent.listing = listing_of(fd);
      if (!parent.listing) {
        fail(errno, {});
        return false;
      }
    }
    const std::string name = std::move(levels_.back().name);
    levels_.pop_back();
    if (::unlinkat(::dirfd(levels_.back().listing.get()), name.c_str(), AT_REMOVEDIR) != 0 &&
        errno != ENOENT)
      keep(errno, name);
    return true;
  }

  // Notes that name in the deepest level's folder could not be removed, and passes it over.
  void keep(int error, const std::string& name) {
    fail(error, name);
    levels_.back().kept.insert(name);
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
