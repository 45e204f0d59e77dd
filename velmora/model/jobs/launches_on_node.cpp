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

}  // namespace

bool Velmora::send_dockerized_app(const Bytes& dest_uuid, const std::string& docker_dir) {
  const fs::path dockerfile = fs::path(docker_dir) / "Dockerfile";
  struct stat info {};
  if (::stat(dockerfile.c_str(), &info) != 0) throw utils::OSError(errno, dockerfile);

  auto launch = std::make_shared<Launcher>(docker_dir, job_name_of(docker_dir),
                                           utils::b2s(device()->uuid()), utils::b2s(dest_uuid),
                                           network_);
  launch->send();
  launches_->with([&](job::Launches& launches) { launches.insert_or_assign(launch->id(), launch); });
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
  const fs::path destination =
      fs::path(settings_.results_folder) / (launch->name() + "_" + launch->id());
  try {
    move_folder(tmp_results_dir, destination);
  } catch (const utils::OSError& e) {
    results.release();  // results are never thrown away
    LOG.log_error(utils::log::kWarning, e, "Results of job %s kept at %s", job_id,
                  tmp_results_dir.string());
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

}  // namespace velmora::model
