#pragma once
// Free space on the file systems that take what others send the node (packages, results): a
// reserve that such writers leave free, and an allowance that counts what one writer adds. Any
// thread may call writable_bytes; a WriteAllowance serves one writer at a time.

#include <algorithm>
#include <cstdint>
#include <filesystem>

namespace velmora::utils {

// Free space that nothing written for a peer or an engine may take: what stays for the machine's
// other work.
inline constexpr std::uint64_t kDiskReserveBytes = std::uint64_t{1} << 30;

// The bytes that may still be written to the file system that holds path while reserve bytes
// stay free (as its unprivileged users count free space); zero when less is free. OSError when
// path cannot be examined.
std::uint64_t writable_bytes(const std::filesystem::path& path,
                             std::uint64_t reserve = kDiskReserveBytes);

// The bytes one writer adds below a folder, held to a most and to the free space of the folder's
// file system less the reserve. Free space is read again every 64 MiB taken, so that what others
// write meanwhile counts too. Bytes are taken just before they are written.
class WriteAllowance {
 public:
  WriteAllowance(std::filesystem::path folder, std::uint64_t most,
                 std::uint64_t reserve = kDiskReserveBytes)
      : folder_(std::move(folder)), most_(most), reserve_(reserve) {}

  // Counts bytes as taken and answers true; or answers false, counting nothing, when they would
  // pass the most or eat into the reserve. OSError when the free space cannot be read.
  bool take(std::uint64_t bytes);
  // Counts bytes taken earlier, and not written after all, as not taken.
  void give_back(std::uint64_t bytes) noexcept { taken_ -= std::min(bytes, taken_); }

  std::uint64_t taken() const noexcept { return taken_; }
  std::uint64_t most() const noexcept { return most_; }

 private:
  const std::filesystem::path folder_;
  const std::uint64_t most_;
  const std::uint64_t reserve_;
  std::uint64_t taken_ = 0;
  std::uint64_t room_ = 0;        // taken_ plus what was writable when last read
  std::uint64_t next_check_ = 0;  // when taken_ reaches this, free space is read again
};

}  // namespace velmora::utils
