#pragma once
// What one job's results may make the node collect. Past the bytes or the entries, collection
// stops and the results say so (result_collection.hpp); a path past the depth or the length is
// left out. Each bound fits real work with room to spare (results of several GB), and all of them
// stay within what a package may carry to the job's owner.

#include <cstddef>
#include <cstdint>

#include "velmora/utils/disk_space.hpp"

namespace velmora::boxwright {

// Bytes of "output.log" and of every collected file, a sparse file counted by its whole size.
// Collection also stops where it would leave less free disk than utils::kDiskReserveBytes.
inline constexpr std::uint64_t kMaxResultBytes = std::uint64_t{8} << 30;
// Files and folders collected below "filesys".
inline constexpr std::uint64_t kMaxResultEntries = 100000;
// Components and bytes of a collected path below "filesys".
inline constexpr std::size_t kMaxResultPathDepth = 60;
inline constexpr std::size_t kMaxResultPathLength = 1000;

// The bounds in force: those above, or smaller ones that tests give.
struct ResultBounds {
  std::uint64_t bytes = kMaxResultBytes;
  std::uint64_t entries = kMaxResultEntries;
  std::size_t path_depth = kMaxResultPathDepth;
  std::size_t path_length = kMaxResultPathLength;
  std::uint64_t disk_reserve = utils::kDiskReserveBytes;
};

}  // namespace velmora::boxwright
