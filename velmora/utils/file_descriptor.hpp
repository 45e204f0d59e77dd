#pragma once
// An owned POSIX file descriptor, closed when it goes out of scope, and whole writes to one.
// Movable, not copyable; one owner uses it at a time.

#include <filesystem>
#include <string_view>
#include <utility>

namespace velmora::utils {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}  // takes ownership; -1 for none
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  ~FileDescriptor();

  // Opens path with flags (plus close-on-exec); a file it creates gets mode 0600. OSError on
  // failure.
  void open(const std::filesystem::path& path, int flags);
  bool is_open() const noexcept { return fd_ >= 0; }
  int get() const noexcept { return fd_; }

  // Closes now; OSError naming path when the close reports a failure (a write that did not land).
  void close(const std::filesystem::path& path);

 private:
  int fd_ = -1;
};

// Writes all of data to fd, retrying after signals. OSError naming path on failure.
void write_all(int fd, std::string_view data, const std::filesystem::path& path);

}  // namespace velmora::utils
