#pragma once
// The working folder held by one velmorad for the life of its process, so that a second start
// there cannot take the first one's files: an exclusive flock of "velmorad.lock" in the folder,
// which holds the holder's process id. One thread at a time.

#include <filesystem>
#include <string>

#include "velmora/utils/file_descriptor.hpp"

namespace velmora::daemon {

class FolderLock {
 public:
  // Takes the lock of folder, making its lock file when missing. When another process holds it,
  // throws RuntimeError "another velmorad serves from this folder (pid N)" and changes nothing in
  // the folder; OSError when the lock file cannot be opened, locked or written.
  static FolderLock take(const std::filesystem::path& folder);

  FolderLock(FolderLock&&) noexcept = default;
  FolderLock& operator=(FolderLock&&) = delete;
  // Removes the lock file while it is still the file locked, then lets the lock go.
  ~FolderLock();

 private:
  FolderLock(std::filesystem::path path, utils::FileDescriptor file)
      : path_(std::move(path)), file_(std::move(file)) {}

  std::filesystem::path path_;
  utils::FileDescriptor file_;  // closed last: the lock goes with it
};

}  // namespace velmora::daemon
