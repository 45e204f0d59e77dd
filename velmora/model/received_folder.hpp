#pragma once
// A folder that came with a package, owned by whoever holds this object: removed with everything
// in it when the object goes, unless it was released first. A folder that cannot be removed is
// logged as a warning and left; the caller goes on. Used by one thread. Not copyable.

#include <filesystem>
#include <optional>
#include <utility>

namespace velmora::model {

class ReceivedFolder {
 public:
  // None: nothing to remove.
  explicit ReceivedFolder(std::optional<std::filesystem::path> path) : path_(std::move(path)) {}
  ~ReceivedFolder() { remove(); }

  ReceivedFolder(const ReceivedFolder&) = delete;
  ReceivedFolder& operator=(const ReceivedFolder&) = delete;

  const std::optional<std::filesystem::path>& path() const noexcept { return path_; }

  // Hands the folder on: it is no longer removed here.
  void release() noexcept { path_.reset(); }

  // Removes the folder now; it is no longer held either way.
  void remove() noexcept;

 private:
  std::optional<std::filesystem::path> path_;
};

}  // namespace velmora::model
