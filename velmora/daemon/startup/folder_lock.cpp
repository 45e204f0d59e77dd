#include "velmora/daemon/startup/folder_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <iostream>
#include <thread>

#include "velmora/daemon/startup/file_identity.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::daemon {
namespace {

using namespace std::chrono_literals;

constexpr const char* kLockFileName = "velmorad.lock";

// The process id the holder wrote in its lock file; empty while it has not written it yet. The
// holder writes it right after taking the lock, so a short wait sees it.
std::string holder_pid(int fd) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    char text[32] = {};
    const ssize_t size = ::pread(fd, text, sizeof text - 1, 0);
    if (size > 0 && text[size - 1] == '\n')
      return std::string(text, static_cast<std::size_t>(size - 1));
    std::this_thread::sleep_for(20ms);
  }
  return "unknown";
}

}  // namespace

FolderLock FolderLock::take(const std::filesystem::path& folder) {
  const std::filesystem::path path = folder / kLockFileName;
  // The holder removes its file at exit: a file locked after that is no longer the folder's.
  for (int attempt = 0; attempt < 100; ++attempt) {
    utils::FileDescriptor file(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.is_open()) throw utils::OSError(errno, path);
    if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK) throw utils::OSError(errno, path);
      throw utils::RuntimeError("another velmorad serves from this folder (pid " +
                                holder_pid(file.get()) + ")");
    }
    if (identity_of(path) != identity_of(file.get())) continue;
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(file.get(), 0) != 0) throw utils::OSError(errno, path);
    utils::write_all(file.get(), pid, path);
    return FolderLock(path, std::move(file));
  }
  throw utils::RuntimeError("cannot lock " + path.string() + ": it is replaced again and again");
}

FolderLock::~FolderLock() {
  if (!file_.is_open()) return;  // moved from
  try {
    remove_if_same(path_, identity_of(file_.get()));
  } catch (const std::exception& error) {
    std::cerr << "velmorad: warning: the lock file stays: " << error.what() << '\n';
  }
}

}  // namespace velmora::daemon
