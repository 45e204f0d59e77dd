#pragma once
// Two nodes on the fake backend: the launch node (kDeviceId), which keeps a job's launch and
// receives what its landing reports, and the landing node (kPeerId), which runs the job on the
// Docker engine of the environment. The images and containers of the landings made through the
// fixture are removed when the test ends.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "testing/engine_janitor.hpp"
#include "testing/scoped_folder.hpp"
#include "tests/networking/backend_fixture.hpp"
#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/job/lander.hpp"
#include "velmora/job/launcher.hpp"

namespace velmora::job {

using networking::kDeviceId;
using networking::kPeerId;
using networking::ReceivedPackage;

class JobFixture : public networking::BackendFixture {
 protected:
  JobFixture();
  ~JobFixture() override;

  // A landing of the job folder on the landing node, owned by the launch node.
  std::shared_ptr<Lander> make_lander(const std::filesystem::path& folder,
                                      const std::optional<std::string>& id = std::nullopt,
                                      bool update_recvd = true);
  // A launch of the job folder on the launch node, to the landing node.
  std::shared_ptr<Launcher> make_launcher(const std::filesystem::path& folder);

  // Every package waiting for node's device, in the order sent.
  static std::vector<ReceivedPackage> packages_for(networking::Network& node);
  // Each package's subject, a job update's followed by its status: "job_update Running".
  static std::vector<std::string> summaries(const std::vector<ReceivedPackage>& packages);

  // The statuses of the record's history, without their times.
  static std::vector<std::string> statuses(const Job& record);

  // A busybox job folder whose image shares no layer with another test's (a LABEL right after
  // FROM: the engine's build cache is shared, and another test's clean-up must not take this
  // image), followed by steps.
  static testing::ScopedFolder job_folder(std::string_view steps);
  // The engine's state of the container ("running", "exited", ...).
  std::string engine_state(const std::string& cntr_id) const;
  // Whether the engine still has the container.
  bool engine_has(const std::string& cntr_id) const;

  std::shared_ptr<networking::Network> launch_node_;
  std::shared_ptr<networking::Network> landing_node_;
  boxwright::engine::EngineClient engine_;
  testing::EngineJanitor janitor_;
  std::vector<std::shared_ptr<Lander>> landers_;  // their images and containers go at the end
};

// Jobs of the fixture's busybox image.
inline constexpr std::string_view kQuickJob =
    "CMD [\"/bin/busybox\", \"sh\", \"-c\", \"echo hello; echo made > /result.txt\"]\n";
// Runs until stopped, and ends at once on SIGTERM.
inline constexpr std::string_view kLongJob =
    "CMD [\"/bin/busybox\", \"sh\", \"-c\", "
    "\"trap 'exit 0' TERM; while :; do /bin/busybox sleep 0.1; done\"]\n";

}  // namespace velmora::job
