#include "velmora/model/inbox.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <tuple>
#include <utility>

#include "velmora/model/module_log.hpp"
#include "velmora/model/private_folder.hpp"

namespace velmora::model {

namespace fs = std::filesystem;

Inbox::Inbox(fs::path path) : path_(std::move(path)) {
  make_private_folder(path_, "the node's inbox");
}

std::vector<fs::path> Inbox::packages() const {
  struct Found {
    struct timespec written;
    fs::path path;
  };
  std::vector<Found> found;
  std::error_code error;
  for (fs::directory_iterator entry(path_, error), end; !error && entry != end;
       entry.increment(error)) {
    struct stat info {};
    if (::lstat(entry->path().c_str(), &info) == 0 && S_ISREG(info.st_mode))
      found.push_back({info.st_mtim, entry->path()});
  }
  if (error) LOG.warning("Could not read the inbox %s: %s", path_.string(), error.message());
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return std::tie(a.written.tv_sec, a.written.tv_nsec, a.path) <
           std::tie(b.written.tv_sec, b.written.tv_nsec, b.path);
  });
  std::vector<fs::path> packages;
  packages.reserve(found.size());
  for (Found& each : found) packages.push_back(std::move(each.path));
  return packages;
}

void Inbox::remove(const fs::path& package) noexcept {
  std::error_code error;
  fs::remove(package, error);
  if (error)
    LOG.warning("Could not remove %s from the inbox: %s", package.string(), error.message());
}

}  // namespace velmora::model
