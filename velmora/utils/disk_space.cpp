#include "velmora/utils/disk_space.hpp"

#include <sys/statvfs.h>

#include <cerrno>

#include "velmora/utils/error.hpp"

namespace velmora::utils {
namespace {

constexpr std::uint64_t kRecheckBytes = std::uint64_t{64} << 20;

}  // namespace

std::uint64_t writable_bytes(const std::filesystem::path& path, std::uint64_t reserve) {
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) throw OSError(errno, path);
  const std::uint64_t free = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
  return free > reserve ? free - reserve : 0;
}

bool WriteAllowance::take(std::uint64_t bytes) {
  if (bytes > most_ - taken_) return false;
  const std::uint64_t after = taken_ + bytes;
  if (after > room_ || after >= next_check_) {
    room_ = taken_ + writable_bytes(folder_, reserve_);
    next_check_ = after + kRecheckBytes;
    if (after > room_) return false;
  }
  taken_ = after;
  return true;
}

}  // namespace velmora::utils
