#pragma once
// What one job's collection has taken so far, held to the bounds of its results
// (result_bounds.hpp). Serves one collection; its calls may come from the threads that extract
// archives one after another.

#include <cstdint>
#include <filesystem>
#include <string>

#include "velmora/boxwright/results/result_bounds.hpp"
#include "velmora/utils/disk_space.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::boxwright {

// Collection that stopped at a bound; its text says where, for the log and for the results.
class CollectionStopped : public utils::RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};

class ResultTally {
 public:
  // Counts what is written below out_dir, the container results folder.
  ResultTally(const std::filesystem::path& out_dir, const ResultBounds& bounds)
      : out_dir_(out_dir), allowance_(out_dir, bounds.bytes, bounds.disk_reserve), bounds_(bounds) {}

  // Takes the most of the log that may be written: the bytes left, within the free disk.
  std::uint64_t take_log_room();
  // Counts bytes taken and not written as not taken.
  void give_back(std::uint64_t bytes) noexcept { allowance_.give_back(bytes); }
  // What a log that stopped short of its end is noted as.
  std::string log_stop() const;

  // Whether a path at location below "filesys" is within the depth and length bounds.
  bool fits(const std::filesystem::path& location) const;
  // Counts an entry of size bytes at location below "filesys", or throws CollectionStopped when
  // it passes the entries, the bytes or the free disk.
  void take(const std::filesystem::path& location, std::uint64_t size);

 private:
  // The bound that an entry of size bytes would pass.
  std::string bound_passed(std::uint64_t size) const;

  const std::filesystem::path out_dir_;
  utils::WriteAllowance allowance_;
  const ResultBounds bounds_;
  std::uint64_t entries_ = 0;
};

}  // namespace velmora::boxwright
