// The landings on the node: watching their containers across a restart, and returning the
// results of those that exited.
#include <optional>
#include <string>
#include <vector>

#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/boxwright/life_cycle.hpp"
#include "velmora/job/job_status.hpp"
#include "velmora/model/module_log.hpp"
#include "velmora/model/velmora.hpp"

namespace velmora::model {

namespace log = utils::log;

void Velmora::reattach_landings() {
  // Without an answering engine no container can be looked up: every landing stays stored as it
  // is, unwatched, and nothing is reported (its container may well be there).
  if (docker_is_running_) {
    // Engine lookups and reports are made outside the store's lock.
    const job::Landings landings = landings_->snapshot();
    std::vector<std::string> removed;
    for (const auto& [job_id, lander] : landings) {
      if (lander->status() != job::status::kRunning) continue;
      std::optional<boxwright::Container> cntr;
      try {
        cntr = lander->cntr();
      } catch (const boxwright::engine::NotFoundError&) {
        // gone from the engine
      } catch (const std::exception& e) {
        LOG.log_error(log::kInfo, e,
                      "Could not look up container %s of landing %s; keeping it, unwatched",
                      lander->cntr_id().value_or("None"), job_id);
        continue;
      }
      if (cntr) {
        running_landers_.put(cntr->id, lander);
        continue;
      }
      LOG.info("Could not find container id %s; removing associated landing",
               lander->cntr_id().value_or("None"));
      try {
        lander->update_status(job::status::kContainerRemoved);
      } catch (const std::exception&) {
        // The owner is told when it can be; the landing goes all the same.
      }
      removed.push_back(job_id);
    }
    landings_->with([&](job::Landings& stored) {
      for (const std::string& job_id : removed) stored.erase(job_id);
    });
  }
  landings_->dump();
}

void Velmora::handle_exited_containers() {
  for (const boxwright::Container& cntr : boxwright::get_exited_containers()) {
    try {
      // Taken out first, so that a failed return is never tried again.
      const auto lander = running_landers_.take(cntr.id);
      if (!lander) continue;
      lander->send_results();
      landings_->dump();
    } catch (const std::exception& e) {
      LOG.log_error(log::kError, e, "skipping container '%s'", cntr.name);
    }
  }
}

}  // namespace velmora::model
