#include "velmora/utils/store_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "velmora/utils/error.hpp"

namespace velmora::utils::store_file {
namespace {

constexpr std::size_t kWritebackStep = 1 << 20;

// A file descriptor, closed when it goes out of scope.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// Makes a rename in folder durable.
void sync_folder(const std::filesystem::path& folder) {
  Descriptor dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dir.fd < 0 || (::fsync(dir.fd) != 0 && errno != EINVAL)) throw OSError(errno, folder);
}

}  // namespace

std::optional<std::string> read(const std::filesystem::path& file) {
  Descriptor in{::open(file.c_str(), O_RDONLY | O_CLOEXEC)};
  if (in.fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw OSError(errno, file);
  }
  std::string content;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(in.fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw OSError(errno, file);
    }
    if (got == 0) return content;
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

Replacement::Replacement(std::filesystem::path file) : file_(std::move(file)) {
  temp_ = file_.string() + ".tmp-XXXXXX";
  fd_ = ::mkostemp(temp_.data(), O_CLOEXEC);
  if (fd_ < 0) throw OSError(errno, file_);
  if (::fchmod(fd_, 0600) != 0) {
    const int error = errno;
    ::close(fd_);
    ::unlink(temp_.c_str());
    throw OSError(error, temp_);
  }
}

Replacement::~Replacement() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

void Replacement::append(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw OSError(errno, temp_);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
    size_ += static_cast<std::size_t>(written);
  }
  // Start writing back what is complete, so that commit's fsync has little left to wait for.
  if (size_ - started_ >= kWritebackStep) {
    ::sync_file_range(fd_, static_cast<off_t>(started_), static_cast<off_t>(size_ - started_),
                      SYNC_FILE_RANGE_WRITE);
    started_ = size_;
  }
}

void Replacement::commit() {
  if (::fsync(fd_) != 0) throw OSError(errno, temp_);
  if (::close(std::exchange(fd_, -1)) != 0) throw OSError(errno, temp_);
  if (::rename(temp_.c_str(), file_.c_str()) != 0) throw OSError(errno, file_);
  temp_.clear();
  sync_folder(file_.has_parent_path() ? file_.parent_path() : std::filesystem::path("."));
}

Value parse_json(std::string_view text) { return Value::parse(text.begin(), text.end()); }

void throw_unreadable(const std::filesystem::path& file, const std::exception& cause) {
  throw ValueError("store file '" + file.string() + "' cannot be read back: " + cause.what());
}

void throw_unwritable(const std::filesystem::path& file, const std::exception& cause) {
  throw ValueError("store file '" + file.string() + "' cannot be written: " + cause.what());
}

}  // namespace velmora::utils::store_file
