// The landings on the node: taking a submitted job and running it, its controls, watching the
// containers across a restart, and returning the results of those that exited.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/boxwright/life_cycle.hpp"
#include "velmora/job/job_status.hpp"
#include "velmora/model/jobs/job_handling.hpp"
#include "velmora/model/module_log.hpp"
#include "velmora/model/velmora.hpp"

namespace velmora::model {
namespace {

namespace log = utils::log;
using job::Lander;
using utils::Bytes;

// Whether a landing of another owner than owner is stored under job_id.
bool held_by_another(const job::Landings& landings, const std::string& job_id,
                     const std::string& owner) {
  const auto found = landings.find(job_id);
  return found != landings.end() && found->second->owner() != owner;
}

void reject(Lander& lander) {
  lander.update_status(job::status::kRejected);
  LOG.warning("Job %s from %s has been rejected", lander.id(), lander.owner());
}

}  // namespace

bool Velmora::admits(const Bytes& origin, const std::string& job_id) const {
  return friends_->with([&](const DeviceIds& friends) { return friends.contains(origin); }) &&
         docker_is_running_ &&
         !landings_->with([&](const job::Landings& landings) {
           return held_by_another(landings, job_id, utils::b2s(origin));
         });
}

void Velmora::handle_job_submission(const Bytes& origin, const std::string& job_id,
                                    const std::string& job_name,
                                    const std::filesystem::path& job_dir) {
  ReceivedFolder folder(job_dir);  // gone on every path
  const auto lander = std::make_shared<Lander>(job_dir, job_name, utils::b2s(origin),
                                               utils::b2s(device()->uuid()), network_, job_id);
  if (!admits(origin, lander->id())) return reject(*lander);
  // Tested again as the landing goes in: a landing of another owner may have come meanwhile.
  const bool stored = landings_->with([&](job::Landings& landings) {
    if (held_by_another(landings, lander->id(), lander->owner())) return false;
    landings.insert_or_assign(lander->id(), lander);
    return true;
  });
  if (!stored) return reject(*lander);
  landings_->dump();

  try {
    lander->run();
  } catch (const std::exception& e) {
    LOG.log_error(log::kWarning, e, "Lander %s encountered an error", lander->id());
    folder.remove();
    landings_->dump();  // the file shows the failure status
    return;
  }
  folder.remove();
  landings_->dump();
  running_landers_.put(lander->cntr().value().id, lander);
}

void Velmora::handle_control_landing(const Bytes& origin, const std::string& job_id,
                                     std::string_view case_) {
  const std::string what = "control '" + std::string(case_) + "'";
  const std::shared_ptr<Lander> landing = find_job(*landings_, job_id);
  if (!landing)
    log_refused(what, job_id, origin, "no such landing");
  else if (landing->owner() != utils::b2s(origin))
    log_refused(what, job_id, origin, "not the landing's owner");
  else
    apply_control(*landing, case_, "landing");
}

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
