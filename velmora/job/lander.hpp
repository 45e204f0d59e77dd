#pragma once
// The running node's record of a job (a landing): it reports every status to the job's owner,
// reaches the job's image and container on the local Docker engine by their ids (looked up
// afresh at every access, never kept), controls the container, and builds, runs and returns the
// job's results. Every member may be called from any thread (see Job); each engine access makes
// its own engine client.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/boxwright/engine_objects.hpp"
#include "velmora/job/job.hpp"
#include "velmora/utils/stores/ordered_dict.hpp"

namespace velmora::job {

class Lander : public Job {
 public:
  // What build and run call after each change of the record that must outlive the process (a
  // status recorded and reported, an engine id kept), before they go on: the caller writes the
  // record's store there. It must not throw.
  using Keep = std::function<void()>;
  static void keep_nothing() noexcept {}

  // As Job's; then reports "Received" to the owner unless update_recvd is false. Throws what
  // that report throws (update_status).
  Lander(std::filesystem::path path, std::string name, std::string owner, std::string receiver,
         std::shared_ptr<networking::Network> network,
         const std::optional<std::string>& id = std::nullopt, bool update_recvd = true,
         Clock clock = system_clock_seconds);

  // The landing that get_state wrote, not bound to a client; it sends nothing. ValueError for
  // another shape.
  static std::shared_ptr<Lander> from_state(simdjson::dom::element state);

  // The engine ids of the job's image and container; none until built, never cleared.
  std::optional<std::string> img_id() const;
  std::optional<std::string> cntr_id() const;

  // The job's container (image) as the engine has it now; none without an id, and the engine is
  // then not asked. Throws engine::NotFoundError when the engine no longer has it, EngineError
  // when it cannot be asked.
  std::optional<boxwright::Container> cntr() const;
  std::optional<boxwright::Image> img() const;
  // Keep the container's (image's) id.
  void set_cntr(const boxwright::Container& cntr);
  void set_img(const boxwright::Image& img);

  // Records status, then sends it to the owner as "job_update" with the labels "job_id" and
  // "status". A failed send (Network::send_pkg's error, or RuntimeError for a record bound to no
  // client) leaves the status recorded.
  void update_status(std::string_view status);

  // The controls: each looks the container up, has the engine stop (start, pause, unpause) it,
  // and once that has returned reports "Stopping" ("Started", "Paused", "Unpaused"). Whatever
  // the status. RuntimeError "Could not stop; container not built for job <id>" (and so on)
  // without a container, the engine's error when it refuses: nothing recorded, nothing sent.
  void stop();
  void start();
  void pause();
  void unpause();

  // Reports "Building Image", builds the image of the job folder tagged after the job's name and
  // id, keeps its id, reports "Building Container", creates the container (not started) and
  // keeps its id. A failed image build reports "Building Image Failed" and a failed creation
  // "Building Container Failed", then the ImageBuildError or ContainerBuildError is thrown on;
  // should that report fail, its error is thrown instead. Any other failure is thrown unchanged
  // with no failure status (a failed report, an engine that cannot be asked, the tag's
  // RuntimeError for an id over 128 characters). Temporary items go to the client's temporary
  // folder. keep is called after each status and each id.
  void build(const Keep& keep = keep_nothing);

  // Builds when there is no container, starts the container and reports "Running", then calls
  // keep. A container that fails to start is removed from the engine (its id is kept) and the
  // engine's error thrown on; nothing is reported.
  void run(const Keep& keep = keep_nothing);

  // Returns the results of the exited container to the owner: collects its log and created
  // files in a folder of the client's temporary folder, sends them as "job_results" with the
  // label "job_id", reports "Stopped" when the status was "Stopping" and "Complete" otherwise,
  // removes that folder and then the container (ids kept). RuntimeError "Could not send results;
  // container not built for job <id>" without a container (nothing made, nothing sent). The
  // folder goes on every path; after any other failure the container stays.
  void send_results();

 private:
  explicit Lander(simdjson::dom::object state);
  // A control: the engine operation act on the container, then update_status with status.
  template <class Act>
  void control(std::string_view word, std::string_view status, Act act);
  // The container, or RuntimeError "Could not <action>; container not built for job <id>".
  boxwright::Container built_cntr(std::string_view action) const;
  void write_own_state(utils::JsonWriter& out) const override;

  std::optional<std::string> img_id_;   // guarded by the record's lock
  std::optional<std::string> cntr_id_;  // guarded by the record's lock
};

// The node's landings by job id: the content of its store "landings".
using Landings = utils::OrderedDict<std::string, std::shared_ptr<Lander>>;

}  // namespace velmora::job
