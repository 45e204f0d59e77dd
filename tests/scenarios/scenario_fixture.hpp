#pragma once
// Node processes on a fake backend process and the Docker engine of the environment, the way
// users run them: each node a node_harness (testing::HarnessedNode) in a working folder and a
// temporary folder of its own, users "alice", "bob" and "carol" told apart by refresh token, and
// the backend's record of every request and package read back from its folder. Jobs are built
// from scratch with busybox (testing::write_busybox_tar_job), as a landing pulls its base image
// and nothing may come from a registry; each carries the test's own label, so its images and
// containers go at the end, and no other test's.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "testing/backend_record.hpp"
#include "testing/engine_janitor.hpp"
#include "testing/fakes_process.hpp"
#include "testing/harnessed_node.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::scenarios {

using namespace std::chrono_literals;

using testing::HarnessedNode;
using Statuses = std::vector<std::string>;

// The statuses of the launch's (landing's) history on node; none while it holds no such record.
Statuses launch_statuses(HarnessedNode& node, const std::string& job_id);
Statuses landing_statuses(HarnessedNode& node, const std::string& job_id);
// The statuses quoted, for a failure's message; the last of them, "" when there is none.
std::string joined(const Statuses& statuses);
std::string last(const Statuses& statuses);

// The content of a file ("" when there is none); of one in the node's working folder.
std::string read_text(const std::filesystem::path& path);
std::string file_text(const HarnessedNode& node, const std::string& name);
// The names in a folder.
std::set<std::string> names_in(const std::filesystem::path& folder);

// The steps of a job that writes "hello-from-job" to its log and its "input.txt" to
// "/out/result.txt".
inline constexpr const char* kSimSteps =
    "COPY input.txt /input.txt\n"
    "CMD [\"/bin/sh\",\"-c\","
    "\"echo hello-from-job; mkdir /out; cat /input.txt > /out/result.txt\"]\n";
// The steps of a job that sleeps until it is stopped.
inline constexpr const char* kSleeperSteps = "STOPSIGNAL SIGKILL\nCMD [\"/bin/sleep\",\"300\"]\n";
// The statuses of a job's launch and of its landing, from the send to its results.
inline const Statuses kLaunchRoad{"New",     "Sent",    "Received", "Building Image",
                                  "Building Container", "Running", "Complete"};
inline const Statuses kLandingRoad{"New",     "Received", "Building Image", "Building Container",
                                   "Running", "Complete"};

class ScenarioFixture : public ::testing::Test {
 protected:
  ScenarioFixture();
  ~ScenarioFixture() override;

  // Starts user's node in the folder <test folder>/<user> (made when missing), registered with
  // the backend, its polls not started; extra_environment goes beside the fakes' settings, and
  // extra_args after the harness's options.
  std::unique_ptr<HarnessedNode> start_node(
      const std::string& user, const std::map<std::string, std::string>& extra_environment = {},
      const std::vector<std::string>& extra_args = {});

  // A job folder <test folder>/jobs/<name> of the Dockerfile and the files given (name, content).
  std::filesystem::path job_folder(const std::string& name, const std::string& dockerfile,
                                   const std::vector<std::pair<std::string, std::string>>& files);
  // A job folder <test folder>/jobs/<name> of testing::write_busybox_tar_job with the test's
  // label, busybox's programs in /bin, then steps; and the files given.
  std::filesystem::path busybox_job(const std::string& name, const std::string& steps,
                                    const std::vector<std::pair<std::string, std::string>>& files);

  // The fake backend and identity provider, for the settings they print and their sign-in.
  const testing::FakesProcess& fakes() const { return *fakes_; }

  // The backend's record so far.
  std::vector<testing::RecordedRequest> requests() const;
  std::vector<testing::RecordedPackage> packages() const;
  std::vector<testing::RecordedPackage> logs() const;
  // The "status_type" of each status report from device id, in order.
  std::vector<std::string> status_reports(const std::string& id) const;
  // The packages from one device to another, each summed up as its subject, a job update's
  // followed by its status ("job_update Running"); friend packages left out.
  std::vector<std::string> job_packages(const std::string& from, const std::string& to) const;

  // Two friends: bob declares alice his friend, and alice's node has taken it in.
  void make_friends(HarnessedNode& alice, HarnessedNode& bob);
  // The job folder "sim.v1" of kSimSteps, its "input.txt" "42\n".
  std::filesystem::path sim_folder();

  // Sends the job folder from one node to another; answers the job id. The image the landing
  // will build ("<folder stem>:<job id>") is handed to the janitor.
  std::string send_job(HarnessedNode& from, const HarnessedNode& to,
                       const std::filesystem::path& job);
  bool engine_has_container(const std::string& id) const;

  testing::ScopedFolder folder_{"velmora-scenario-"};
  boxwright::engine::EngineClient engine_ = boxwright::engine::EngineClient::from_env();
  std::string label_;  // "velmora.scenario=<unique>"
  // The landings' images, and every container of the test's label, found at the end.
  testing::EngineJanitor janitor_{engine_};

 private:
  std::filesystem::path record_folder_;
  std::unique_ptr<testing::FakesProcess> fakes_;
};

// The label of a package file, and the names in its attachment (none when it has none).
struct PackageView {
  utils::Value label;
  std::vector<std::string> attachment_names;
};
PackageView open_package(const std::filesystem::path& package, const std::filesystem::path& work);

// Whether the lines hold wanted in this order, other lines between them allowed.
bool in_order(const std::vector<std::string>& lines, const std::vector<std::string>& wanted);

}  // namespace velmora::scenarios
