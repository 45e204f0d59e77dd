#pragma once
// Node processes on a fake backend process and the Docker engine of the environment, the way
// users run them: each node a node_harness in a working folder and a temporary folder of its own
// (TMPDIR), users "alice", "bob" and "carol" told apart by refresh token, and the backend's record
// of every request and package read back from its folder. Jobs are built from scratch with
// busybox, as a landing pulls its base image and nothing may come from a registry; each carries
// the test's own label, so its images and containers go at the end, and no other test's.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testing/backend_record.hpp"
#include "testing/child_process.hpp"
#include "testing/engine_janitor.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::scenarios {

using namespace std::chrono_literals;

// A node process: line commands to node_harness, the node's log on its standard error.
class NodeProcess {
 public:
  NodeProcess(std::string user, std::filesystem::path folder, std::filesystem::path temp_dir,
              std::unique_ptr<testing::ChildProcess> process);

  // The value of the answer to command; std::runtime_error for an error answer or none within a
  // minute.
  utils::Value ask(const std::string& command);
  // The answer line to command, whatever it is ("" for none within a minute).
  std::string answer_line(const std::string& command);

  // The value of the answer to command; null for an error answer.
  std::optional<utils::Value> try_ask(const std::string& command);

  // The launch's (landing's) mapping, and its history's statuses (none while the node holds no
  // such record).
  utils::Value launch(const std::string& job_id) { return ask("launch " + job_id); }
  utils::Value landing(const std::string& job_id) { return ask("landing " + job_id); }
  std::vector<std::string> launch_statuses(const std::string& job_id);
  std::vector<std::string> landing_statuses(const std::string& job_id);

  // What the node logged so far, a line each.
  std::vector<std::string> log() const;
  bool logged(const std::string& line) const;
  // The text of a file in the working folder ("" when there is none).
  std::string file_text(const std::string& name) const;
  // The names in the node's temporary folder.
  std::vector<std::string> temp_names() const;

  testing::ChildProcess& process() { return *process_; }
  const std::string& user() const noexcept { return user_; }
  const std::filesystem::path& folder() const noexcept { return folder_; }
  const std::string& id() const noexcept { return id_; }          // the device id's text
  const std::string& id_hex() const noexcept { return id_hex_; }  // as commands take it

 private:
  std::string user_;
  std::filesystem::path folder_;
  std::filesystem::path temp_dir_;
  std::unique_ptr<testing::ChildProcess> process_;
  std::string id_hex_;
  std::string id_;
};

class ScenarioFixture : public ::testing::Test {
 protected:
  ScenarioFixture();
  ~ScenarioFixture() override;

  // Starts user's node in the folder <test folder>/<user> (made when missing), registered with
  // the backend, its polls not started.
  std::unique_ptr<NodeProcess> start_node(const std::string& user);

  // A job folder <test folder>/jobs/<name> of the Dockerfile and the files given (name, content).
  std::filesystem::path job_folder(const std::string& name, const std::string& dockerfile,
                                   const std::vector<std::pair<std::string, std::string>>& files);
  // A job folder whose Dockerfile puts busybox at /bin (with the test's label) and goes on with
  // steps; the file "busybox.tar" is added to files.
  std::filesystem::path busybox_job(const std::string& name, const std::string& steps,
                                    const std::vector<std::pair<std::string, std::string>>& files);

  // The backend's record so far.
  std::vector<testing::RecordedRequest> requests() const;
  std::vector<testing::RecordedPackage> packages() const;
  // The "status_type" of each status report from device id, in order.
  std::vector<std::string> status_reports(const std::string& id) const;
  // The packages from one device to another, each summed up as its subject, a job update's
  // followed by its status ("job_update Running"); friend packages left out.
  std::vector<std::string> job_packages(const std::string& from, const std::string& to) const;

  // Sends the job folder from one node to another; answers the job id. The image the landing
  // will build ("<folder stem>:<job id>") is handed to the janitor.
  std::string send_job(NodeProcess& from, const NodeProcess& to, const std::filesystem::path& job);
  bool engine_has_container(const std::string& id) const;

  testing::ScopedFolder folder_{"velmora-scenario-"};
  boxwright::engine::EngineClient engine_ = boxwright::engine::EngineClient::from_env();
  std::string label_;  // "velmora.scenario=<unique>"
  // The landings' images, and every container of the test's label, found at the end.
  testing::EngineJanitor janitor_{engine_};

 private:
  std::filesystem::path record_folder_;
  std::unique_ptr<testing::ChildProcess> backend_;
  std::string backend_url_;
  std::map<std::string, std::string> node_environment_;
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
