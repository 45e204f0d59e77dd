// The landings on the node: taking a submitted job, building and running it, its controls, and
// returning the results of those whose containers exited.
#include <memory>
#include <optional>
#include <string>

#include "velmora/boxwright/life_cycle.hpp"
#include "velmora/job/job_status.hpp"
#include "velmora/model/jobs/job_handling.hpp"
#include "velmora/model/module_log.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/utils/tree_removal.hpp"

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

void reject(Lander& lander, std::string_view reason = {}) {
  lander.update_status(job::status::kRejected);
  LOG.warning("Job %s from %s has been rejected%s", lander.id(), lander.owner(), reason);
}

}  // namespace

bool Velmora::admits(const Bytes& origin, const std::string& job_id) const {
  return friends_->with([&](const DeviceIds& friends) { return friends.contains(origin); }) &&
         !landings_->with([&](const job::Landings& landings) {
           return held_by_another(landings, job_id, utils::b2s(origin));
         });
}

void Velmora::handle_job_submission(const Bytes& origin, const std::string& job_id,
                                    const std::string& job_name,
                                    const std::filesystem::path& job_dir) {
  ReceivedFolder folder(job_dir);  // gone on every path but the one to the build
  // Copies of one job are handled in line: a copy finds the first one stored.
  if (const auto landed = find_job(*landings_, job_id);
      landed && landed->owner() == utils::b2s(origin)) {
    LOG.info("Dropped job %s from %s: it has landed here already", job_id, landed->owner());
    return;
  }
  const auto lander = std::make_shared<Lander>(job_dir, job_name, utils::b2s(origin),
                                               utils::b2s(device()->uuid()), network_, job_id);
  if (!admits(origin, lander->id())) return reject(*lander);
  if (!docker_is_running_)
    return reject(*lander,
                  ": no container engine answered when the node was built; restart velmorad "
                  "once the engine runs");
  // Tested again as the landing goes in: a landing of another owner may have come meanwhile.
  const bool stored = landings_->with([&](job::Landings& landings) {
    if (held_by_another(landings, lander->id(), lander->owner())) return false;
    landings.insert_or_assign(lander->id(), lander);
    return true;
  });
  if (!stored) return reject(*lander);
  landings_->dump();  // from now on a restart takes it up
  start_build(lander);
  folder.release();  // the build removes it
}

void Velmora::start_build(const std::shared_ptr<Lander>& lander) {
  builds_.start("the build of landing " + lander->id(), [this, lander] { run_landing(lander); });
}

void Velmora::run_landing(const std::shared_ptr<Lander>& lander) {
  if (closing_) return;  // stored as it is: the next start takes it up
  try {
    lander->run([&] {
      LOG.debug("Storing landing %s: %s", lander->id(), lander->status());
      keep_landings();
    });
  } catch (const std::exception& e) {
    LOG.log_error(log::kWarning, e, "Lander %s encountered an error", lander->id());
    remove_job_folder(lander->path());
    keep_landings();  // the file shows the failure status
    return;
  }
  remove_job_folder(lander->path());
  keep_landings();
  running_landers_.put(lander->cntr().value().id, lander);
}

void Velmora::keep_landings() noexcept {
  try {
    landings_->dump();
  } catch (const std::exception& e) {
    LOG.log_error(log::kError, e, "Could not write the landings store");
  }
}

void Velmora::remove_job_folder(const std::filesystem::path& job_dir) const {
  if (!temp_folder_->holds(job_dir)) return;  // not received here: a path of another's making
  try {
    utils::remove_tree(job_dir);
  } catch (const std::exception& e) {
    LOG.log_error(log::kWarning, e, "Could not remove the received folder %s", job_dir.string());
  }
}

void Velmora::handle_control_landing(const Bytes& origin, const std::string& job_id,
                                     std::string_view case_) {
  const std::string what = "control '" + std::string(case_) + "'";
  const std::shared_ptr<Lander> landing = find_job(*landings_, job_id);
  if (!landing) return log_refused(what, job_id, origin, "no such landing");
  if (landing->owner() != utils::b2s(origin))
    return log_refused(what, job_id, origin, "not the landing's owner");
  apply_control(*landing, case_, "landing");
  keep_landings();
}

void Velmora::handle_exited_containers() {
  for (const boxwright::Container& cntr : boxwright::get_exited_containers()) {
    try {
      // Taken out first, so that a failed return is never tried again.
      const auto lander = running_landers_.take(cntr.id);
      if (!lander) continue;
      LOG.info("Returning the results of job %s", lander->id());
      lander->send_results();
      landings_->dump();
    } catch (const std::exception& e) {
      LOG.log_error(log::kError, e, "skipping container '%s'", cntr.name);
    }
  }
}

}  // namespace velmora::model
