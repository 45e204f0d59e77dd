// The landing's way through the engine: build, run, and the return of the results.
#include <system_error>

#include "velmora/boxwright/docker_error.hpp"
#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/boxwright/life_cycle.hpp"
#include "velmora/boxwright/results/result_collection.hpp"
#include "velmora/job/job_status.hpp"
#include "velmora/job/lander.hpp"
#include "velmora/job/subjects.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/temp_files.hpp"

namespace velmora::job {
namespace {

using boxwright::engine::EngineClient;

// A fresh folder in folder, removed with everything in it when the object goes unless remove()
// took it first.
class ResultsFolder {
 public:
  explicit ResultsFolder(const std::filesystem::path& folder)
      : path_(utils::make_temp_dir(folder, "velmora-results-")) {}
  ResultsFolder(const ResultsFolder&) = delete;
  ResultsFolder& operator=(const ResultsFolder&) = delete;
  ~ResultsFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }

  const std::filesystem::path& path() const noexcept { return path_; }
  // Removes the folder now; OSError when it cannot.
  void remove() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    if (error) throw utils::OSError(error.value(), path_);
    path_.clear();
  }

 private:
  std::filesystem::path path_;
};

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
    set_cntr(boxwright::build_container(*img()));
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
  ResultsFolder tempdir(temp_folder());
  const std::filesystem::path results_dir = boxwright::collect_results(*cntr(), tempdir.path());
  send_package(owner(), subject::kJobResults, results_dir, {{"job_id", id()}});
  update_status(status() == status::kStopping ? status::kStopped : status::kComplete);
  tempdir.remove();
  EngineClient::from_env().remove_container(cntr()->id);
}

}  // namespace velmora::job
