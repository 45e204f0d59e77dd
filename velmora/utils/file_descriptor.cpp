#include "velmora/utils/file_descriptor.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "velmora/utils/error.hpp"

namespace velmora::utils {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void FileDescriptor::open(const std::filesystem::path& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd < 0) throw OSError(errno, path);
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

void FileDescriptor::close(const std::filesystem::path& path) {
  const int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && ::close(fd) != 0) throw OSError(errno, path);
}

void write_all(int fd, std::string_view data, const std::filesystem::path& path) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw OSError(errno, path);
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace velmora::utils
