// The launches on the node: sending a job folder, and what comes back for it.
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>

#include "velmora/model/jobs/folder_move.hpp"
#include "velmora/model/jobs/job_name.hpp"
#include "velmora/model/jobs/job_handling.hpp"
#include "velmora/model/module_log.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {
namespace {

namespace fs = std::filesystem;
using job::Launcher;
using utils::Bytes;

// The launch stored under job_id when origin, its receiver, is the sender; null, logged, when not.
std::shared_ptr<Launcher> launch_from(Store<job::Launches>& launches, const std::string& job_id,
                                      const Bytes& origin, std::string_view what) {
  std::shared_ptr<Launcher> launch = find_job(launches, job_id);
  if (!launch) {
    log_refused(what, job_id, origin, "no such launch");
    return nullptr;
  }
  if (launch->receiver() != utils::b2s(origin)) {
    log_refused(what, job_id, origin, "not the launch's receiver");
    return nullptr;
  }
  return launch;
}

// Where the results of launch are filed.
fs::path results_destination(const std::string& results_folder, const Launcher& launch) {
  return fs::path(results_folder) / (launch.name() + "_" + launch.id());
}

}  // namespace

bool Velmora::send_dockerized_app(const Bytes& dest_uuid, const std::string& docker_dir) {
  const fs::path dockerfile = fs::path(docker_dir) / "Dockerfile";
  struct stat info {};
  if (::stat(dockerfile.c_str(), &info) != 0) throw utils::OSError(errno, dockerfile);

  auto launch = std::make_shared<Launcher>(docker_dir, job_name_of(docker_dir),
                                           utils::b2s(device()->uuid()), utils::b2s(dest_uuid),
                                           network_);
  // Stored before its package goes: what the receiver reports, should this node be killed before
  // it wrote "Sent", finds its launch after a restart.
  launches_->with([&](job::Launches& launches) { launches.insert_or_assign(launch->id(), launch); });
  try {
    launches_->dump();
    launch->send();
  } catch (const std::exception&) {
    // A launch whose send failed is not kept.
    launches_->with([&](job::Launches& launches) { launches.erase(launch->id()); });
    try {
      launches_->dump();
    } catch (const std::exception& e) {
      LOG.log_error(utils::log::kError, e, "Could not write the launches store without job %s",
                    launch->id());
    }
    throw;
  }
  LOG.info("Sent job %s to %s", launch->id(), launch->receiver());
  launches_->dump();
  return true;
}

void Velmora::handle_job_update(const Bytes& origin, const std::string& job_id,
                                const std::string& status) {
  const auto launch = launch_from(*launches_, job_id, origin, "update");
  if (!launch) return;
  launch->set_status(status);
  launches_->dump();
}

void Velmora::handle_job_results(const Bytes& origin, const std::string& job_id,
                                 const fs::path& tmp_results_dir) {
  ReceivedFolder results(tmp_results_dir);  // removed when refused
  const auto launch = launch_from(*launches_, job_id, origin, "results");
  if (!launch) return;
  // Results of one job are handled in line, so this test and the filing below are one step.
  if (const auto filed = launch->results_path()) {
    LOG.warning("Removed repeated results of job %s from %s: they were filed at %s already",
                job_id, utils::b2s(origin), filed->string());
    return;
  }
  const fs::path destination = results_destination(settings_.results_folder, *launch);
  try {
    move_folder(tmp_results_dir, destination);
  } catch (const utils::OSError& e) {
    results.release();  // results are never thrown away, nor cleared with the temporary folder
    const fs::path kept = temp_folder_->keep(tmp_results_dir, launch->name() + "_" + launch->id());
    LOG.log_error(utils::log::kWarning, e, "Results of job %s kept at %s", job_id, kept.string());
    return;
  }
  results.release();
  launch->set_results_path(destination);
  launches_->dump();
}

void Velmora::handle_control_launch(const Bytes& origin, const std::string& job_id,
                                    std::string_view case_) {
  const auto launch = launch_from(*launches_, job_id, origin, "control '" + std::string(case_) + "'");
  if (launch) apply_control(*launch, case_, "launch");
}

void Velmora::take_up_launches() {
  // Results filed by a run that was killed before it recorded them.
  bool recorded = false;
  for (const auto& launch : job_records(*launches_)) {
    if (launch->results_path()) continue;
    const fs::path destination = results_destination(settings_.results_folder, *launch);
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(destination, error))) continue;
    LOG.info("Recording the results of job %s, filed at %s", launch->id(), destination.string());
    launch->set_results_path(destination);
    recorded = true;
  }
  if (recorded) launches_->dump();
}

}  // namespace velmora::model
