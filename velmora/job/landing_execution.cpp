// The landing's way through the engine: build, run, and the return of the results.
#include <string>

#include "velmora/boxwright/docker_error.hpp"
#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/boxwright/life_cycle.hpp"
#include "velmora/boxwright/results/result_collection.hpp"
#include "velmora/job/container_labels.hpp"
#include "velmora/job/job_status.hpp"
#include "velmora/job/lander.hpp"
#include "velmora/job/subjects.hpp"
#include "velmora/networking/package/package_bounds.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/temp_files.hpp"
#include "velmora/utils/tree_removal.hpp"

namespace velmora::job {
namespace {

using boxwright::engine::EngineClient;
namespace package = networking::package;

// The results of a job travel as one package, within what the owner's node unpacks: all the
// bytes collected and a note, the entries below "filesys" with "output.log", "filesys" itself and
// the note, and every path below "filesys/".
static_assert(boxwright::kMaxResultBytes + (std::uint64_t{1} << 20) <= package::kMaxPackageBytes);
static_assert(boxwright::kMaxResultEntries + 3 <= package::kMaxPackageEntries);
static_assert(boxwright::kMaxResultPathDepth + 1 <= package::kMaxPathDepth);
static_assert(boxwright::kMaxResultPathLength + sizeof "filesys/" <= package::kMaxPathLength);

// Ends a call that failed (inside a handler of that failure) once folder, the call's temporary
// folder, is removed: throws the failure on, or, when the folder cannot be removed either, a
// RuntimeError that tells both.
[[noreturn]] void rethrow_after_removing(const std::filesystem::path& folder) {
  std::string removal_failure;
  try {
    utils::remove_tree(folder);
  } catch (const std::exception& removal) {
    removal_failure = removal.what();
  }
  if (removal_failure.empty()) throw;
  try {
    throw;
  } catch (const std::exception& failure) {
    throw utils::RuntimeError(std::string(failure.what()) +
                              "; the results folder could not be removed either: " +
                              removal_failure);
  }
}

}  // namespace

void Lander::build(const Keep& keep) {
  try {
    update_status(status::kBuildingImage);
    keep();
    set_img(boxwright::build_image(path(), name(), id(), utils::Value::object(),
                                   utils::Value::object(), temp_folder()));
    keep();
    update_status(status::kBuildingContainer);
    keep();
    // The container carries labels of the node's own, where "no labels" would leave the node
    // unable to tell its leftovers from another's containers of the same image at its next start;
    // no peer sees a container's labels.
    set_cntr(boxwright::build_container(*img(), container_labels(own_device_id(), id())));
    keep();
  } catch (const boxwright::ImageBuildError&) {
    update_status(status::kBuildingImageFailed);
    throw;
  } catch (const boxwright::ContainerBuildError&) {
    update_status(status::kBuildingContainerFailed);
    throw;
  }
}

void Lander::run(const Keep& keep) {
  if (!cntr()) build(keep);
  const boxwright::Container container = *cntr();
  try {
    boxwright::run_container(container);
  } catch (...) {
    boxwright::discard_container(container.id);
    throw;
  }
  update_status(status::kRunning);
  keep();
}

void Lander::send_results() {
  built_cntr("send results");
  const std::filesystem::path tempdir = utils::make_temp_dir(temp_folder(), "velmora-results-");
  try {
    const std::filesystem::path results_dir = boxwright::collect_results(*cntr(), tempdir);
    send_package(owner(), subject::kJobResults, results_dir, {{"job_id", id()}});
    update_status(status() == status::kStopping ? status::kStopped : status::kComplete);
  } catch (...) {
    rethrow_after_removing(tempdir);
  }
  utils::remove_tree(tempdir);
  EngineClient::from_env().remove_container(cntr()->id);
}

}  // namespace velmora::job
