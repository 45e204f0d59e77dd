#include "velmora/utils/stores/store_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string_view>

#include "velmora/utils/error.hpp"
#include "velmora/utils/file_descriptor.hpp"

namespace velmora::utils::store_file {
namespace {

constexpr std::size_t kWritebackStep = 1 << 20;
// The least room given to each read of a store file.
constexpr std::size_t kReadStep = 1 << 16;

// A replacement of "<name>" is written as "<name>.tmp-" and six characters mkostemp chooses.
constexpr std::string_view kTempInfix = ".tmp-";
constexpr std::string_view kTempPattern = "XXXXXX";

std::filesystem::path folder_of(const std::filesystem::path& file) {
  return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

bool is_temp_name_of(std::string_view name, std::string_view file_name) {
  if (name.size() != file_name.size() + kTempInfix.size() + kTempPattern.size() ||
      !name.starts_with(file_name) ||
      name.substr(file_name.size(), kTempInfix.size()) != kTempInfix)
    return false;
  const std::string_view random = name.substr(name.size() - kTempPattern.size());
  return std::all_of(random.begin(), random.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

// Makes a rename in folder durable.
void sync_folder(const std::filesystem::path& folder) {
  FileDescriptor dir;
  dir.open(folder, O_RDONLY | O_DIRECTORY);
  if (::fsync(dir.get()) != 0 && errno != EINVAL) throw OSError(errno, folder);
}

}  // namespace

std::optional<std::string> read(const std::filesystem::path& file, std::size_t spare) {
  // Non-blocking, so that a FIFO cannot hold the open; nothing but a regular file is read.
  FileDescriptor in(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!in.is_open()) {
    if (errno == ENOENT) return std::nullopt;
    throw OSError(errno, file);
  }
  struct stat info {};
  if (::fstat(in.get(), &info) != 0) throw OSError(errno, file);
  if (!S_ISREG(info.st_mode))
    throw ValueError("store file '" + file.string() + "' is not a regular file");
  // Read straight into the content, sized from the file's length; a file that grows meanwhile
  // is read to its end all the same.
  std::string content(static_cast<std::size_t>(info.st_size) + kReadStep + spare, '\0');
  std::size_t size = 0;
  for (;;) {
    if (content.size() - size < kReadStep + spare) content.resize(2 * content.size());
    const ssize_t got = ::read(in.get(), content.data() + size, content.size() - size - spare);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw OSError(errno, file);
    }
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  content.resize(size);
  return content;
}

void remove_leftovers(const std::filesystem::path& file) {
  const std::string file_name = file.filename().string();
  std::error_code error;
  std::filesystem::directory_iterator entry(folder_of(file), error);
  for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    std::error_code unknown_type;
    if (is_temp_name_of(entry->path().filename().string(), file_name) &&
        entry->symlink_status(unknown_type).type() == std::filesystem::file_type::regular)
      ::unlink(entry->path().c_str());
  }
}

Replacement::Replacement(std::filesystem::path file)
    : file_(std::move(file)),
      temp_(file_.string() + std::string(kTempInfix) + std::string(kTempPattern)),
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
  sync_folder(folder_of(file_));
}

void throw_unreadable(const std::filesystem::path& file, const std::exception& cause) {
  throw ValueError("store file '" + file.string() + "' cannot be read back: " + cause.what());
}

void throw_unwritable(const std::filesystem::path& file, const std::exception& cause) {
  throw ValueError("store file '" + file.string() + "' cannot be written: " + cause.what());
}

}  // namespace velmora::utils::store_file
