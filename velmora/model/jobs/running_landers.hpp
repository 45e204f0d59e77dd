#pragma once
// The landings whose containers the node watches, by the engine's container id: the very records
// that the store "landings" holds, or held before it was cleared. Never stored. Every member may
// be called from any thread.

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "velmora/job/lander.hpp"

namespace velmora::model {

class RunningLanders {
 public:
  // Watches lander under cntr_id, in place of any landing watched there before.
  void put(const std::string& cntr_id, std::shared_ptr<job::Lander> lander) {
    std::lock_guard lock(mutex_);
    landers_.insert_or_assign(cntr_id, std::move(lander));
  }

  // The landing watched under cntr_id, or null.
  std::shared_ptr<job::Lander> find(const std::string& cntr_id) const {
    std::lock_guard lock(mutex_);
    const auto found = landers_.find(cntr_id);
    return found == landers_.end() ? nullptr : found->second;
  }

  // The landing watched under cntr_id, which is watched no longer; null when none.
  std::shared_ptr<job::Lander> take(const std::string& cntr_id) {
    std::lock_guard lock(mutex_);
    const auto found = landers_.find(cntr_id);
    if (found == landers_.end()) return nullptr;
    auto lander = std::move(found->second);
    landers_.erase(found);
    return lander;
  }

  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return landers_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<job::Lander>> landers_;  // guarded by mutex_
};

}  // namespace velmora::model
