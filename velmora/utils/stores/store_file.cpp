#include "velmora/utils/stores/store_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "velmora/utils/error.hpp"
#include "velmora/utils/file_descriptor.hpp"

namespace velmora::utils::store_file {
namespace {

constexpr std::size_t kWritebackStep = 1 << 20;

// Makes a rename in folder durable.
void sync_folder(const std::filesystem::path& folder) {
  FileDescriptor dir;
  dir.open(folder, O_RDONLY | O_DIRECTORY);
  if (::fsync(dir.get()) != 0 && errno != EINVAL) throw OSError(errno, folder);
}

}  // namespace

std::optional<std::string> read(const std::filesystem::path& file) {
  FileDescriptor in(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.is_open()) {
    if (errno == ENOENT) return std::nullopt;
    throw OSError(errno, file);
  }
  std::string content;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(in.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw OSError(errno, file);
    }
    if (got == 0) return content;
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

Replacement::Replacement(std::filesystem::path file)
    : file_(std::move(file)),
      temp_(file_.string() + ".tmp-XXXXXX"),
      fd_(::mkostemp(temp_.data(), O_CLOEXEC)) {
  if (!fd_.is_open()) throw OSError(errno, file_);
  if (::fchmod(fd_.get(), 0600) != 0) {
    const int error = errno;
    ::unlink(temp_.c_str());
    throw OSError(error, temp_);
  }
}

Replacement::~Replacement() {
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

void Replacement::append(std::string_view bytes) {
  write_all(fd_.get(), bytes, temp_);
  size_ += bytes.size();
  // Start writing back what is complete, so that commit's fsync has little left to wait for.
  if (size_ - started_ >= kWritebackStep) {
    ::sync_file_range(fd_.get(), static_cast<off_t>(started_), static_cast<off_t>(size_ - started_),
                      SYNC_FILE_RANGE_WRITE);
    started_ = size_;
  }
}

void Replacement::commit() {
  if (::fsync(fd_.get()) != 0) throw OSError(errno, temp_);
  fd_.close(temp_);
  if (::rename(temp_.c_str(), file_.c_str()) != 0) throw OSError(errno, file_);
  temp_.clear();
  sync_folder(file_.has_parent_path() ? file_.parent_path() : std::filesystem::path("."));
}

void throw_unreadable(const std::filesystem::path& file, const std::exception& cause) {
  throw ValueError("store file '" + file.string() + "' cannot be read back: " + cause.what());
}

void throw_unwritable(const std::filesystem::path& file, const std::exception& cause) {
  throw ValueError("store file '" + file.string() + "' cannot be written: " + cause.what());
}

}  // namespace velmora::utils::store_file
