#include "velmora/boxwright/results/result_tally.hpp"

#include <algorithm>
#include <iterator>

namespace velmora::boxwright {

std::uint64_t ResultTally::take_log_room() {
  const std::uint64_t room = std::min(allowance_.most() - allowance_.taken(),
                                      utils::writable_bytes(out_dir_, bounds_.disk_reserve));
  return allowance_.take(room) ? room : 0;
}

std::string ResultTally::log_stop() const {
  return "output.log stops at " + bound_passed(1) + "; no files were collected";
}

bool ResultTally::fits(const std::filesystem::path& location) const {
  return static_cast<std::size_t>(std::distance(location.begin(), location.end())) <=
             bounds_.path_depth &&
         location.native().size() <= bounds_.path_length;
}

void ResultTally::take(const std::filesystem::path& location, std::uint64_t size) {
  if (entries_ < bounds_.entries && allowance_.take(size)) {
    ++entries_;
    return;
  }
  throw CollectionStopped("the results stop at " + bound_passed(size) + ": " + location.string() +
                          " and what follows it were not collected");
}

std::string ResultTally::bound_passed(std::uint64_t size) const {
  if (entries_ >= bounds_.entries)
    return "the bound of " + std::to_string(bounds_.entries) + " entries per job";
  if (size > allowance_.most() - allowance_.taken())
    return "the bound of " + std::to_string(allowance_.most()) + " bytes per job";
  return "the reserve of " + std::to_string(bounds_.disk_reserve) + " bytes of free disk";
}

}  // namespace velmora::boxwright
