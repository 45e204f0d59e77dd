#pragma once
// What one package from another node may make this node hold. A received package past any bound
// is refused whole and nothing of it is kept; a folder past one is refused before it is sent.
// Each bound fits real work with room to spare: job folders of several hundred MB, results of
// several GB.

#include <cstddef>
#include <cstdint>

#include "velmora/utils/disk_space.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::networking::package {

// Bytes of one package at each of its stages: the download, each archive's members as they
// inflate, and the files its attachment unpacks to. A package is also refused when a stage would
// leave less free disk than utils::kDiskReserveBytes.
inline constexpr std::uint64_t kMaxPackageBytes = std::uint64_t{10} << 30;
// Members of one archive (the package, its attachment).
inline constexpr std::uint64_t kMaxPackageEntries = 131072;
// Bytes of an archive's directory, which is read whole when the archive is opened.
inline constexpr std::uint64_t kMaxDirectoryBytes = std::uint64_t{64} << 20;
// Components and bytes of the name of a member of the attachment.
inline constexpr std::size_t kMaxPathDepth = 64;
inline constexpr std::size_t kMaxPathLength = 1024;
// Bytes of "label.json", which is read whole into memory.
inline constexpr std::size_t kMaxLabelBytes = std::size_t{64} << 10;

// The bounds in force: those above, or smaller ones that tests give.
struct PackageBounds {
  std::uint64_t bytes = kMaxPackageBytes;
  std::uint64_t entries = kMaxPackageEntries;
  std::uint64_t directory_bytes = kMaxDirectoryBytes;
  std::size_t path_depth = kMaxPathDepth;
  std::size_t path_length = kMaxPathLength;
  std::uint64_t disk_reserve = utils::kDiskReserveBytes;
};

// A package, or an archive in it, that passes a bound; its text says which.
class OverBound : public utils::RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};

}  // namespace velmora::networking::package
