// The launching side of the job road on the node: sending a folder, and what comes back for the
// launch from its receiver, the peer kPeerId, which runs it on the engine of the environment.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <future>
#include <regex>

#include "job_road_fixture.hpp"
#include "testing/eventually.hpp"
#include "testing/file_tree.hpp"

namespace velmora::model {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using job::Launcher;
using networking::kDeviceId;
using networking::kPeerId;
using testing::eventually;

const utils::Bytes kPeer = utils::s2b(kPeerId);
const utils::Bytes kOwner = utils::s2b(kDeviceId);  // a device that has no say on the launch

// Busybox writes hello-from-job to its log and 42 to /out/result.txt.
constexpr std::string_view kJob =
    "COPY input.txt /input.txt\n"
    "CMD [\"/bin/busybox\", \"sh\", \"-c\", \"echo hello-from-job; /bin/busybox mkdir /out; "
    "/bin/busybox cat /input.txt > /out/result.txt\"]\n";

class Launches : public JobRoadFixture {
 protected:
  // The one launch the node holds.
  std::shared_ptr<Launcher> the_launch() {
    const job::Launches launches = node_->launches().snapshot();
    EXPECT_EQ(launches.size(), 1u);
    return launches.empty() ? nullptr : launches.begin()->second;
  }

  // The launch of folder sent to the peer; the peer's queue is emptied.
  std::shared_ptr<Launcher> launched(const fs::path& folder) {
    node_->send_dockerized_app(kPeer, folder.string());
    drain(*landing_node_);
    return the_launch();
  }

  // A results folder as a landing returns it.
  static testing::ScopedFolder results_folder(std::string_view log) {
    testing::ScopedFolder results;
    std::ofstream(results.path() / "output.log") << log;
    fs::create_directories(results.path() / "filesys" / "out");
    return results;
  }

  static job::Launches stored_launches() {
    return Store<job::Launches>("launches.bin", [] { return job::Launches(); }).snapshot();
  }
};

TEST_F(Launches, AFolderWithoutDockerfileIsRefusedBeforeAnythingIsSent) {
  const fs::path folder = job_folder_named("sim", "");
  fs::remove(folder / "Dockerfile");
  std::ofstream(folder / "plain") << "";
  const std::pair<fs::path, int> cases[] = {
      {folder, ENOENT}, {folder / "plain", ENOTDIR}, {folder / "missing", ENOENT}};
  for (const auto& [docker_dir, error] : cases)
    EXPECT_EQ(os_error_number([&] { node_->send_dockerized_app(kPeer, docker_dir.string()); }),
              error)
        << docker_dir;
  EXPECT_TRUE(requests_to("/transfer/sendfilereq").empty());
  EXPECT_TRUE(node_->launches().snapshot().empty());

  fs::create_directory(folder / "Dockerfile");  // any entry of that name will do
  EXPECT_TRUE(node_->send_dockerized_app(kPeer, folder.string()));
}

TEST_F(Launches, ASentFolderIsStoredAsSentAndItsPackageCarriesTheFolder) {
  const fs::path folder = job_folder_named("sim.v1", kJob);
  EXPECT_TRUE(node_->send_dockerized_app(kPeer, folder.string()));
  EXPECT_TRUE(node_temp_names().empty());  // nothing of the package stays here
  EXPECT_EQ(temp_names().size(), 1u) << "the job folder's own, and nothing of the node";

  const auto launch = the_launch();
  EXPECT_EQ(launch->name(), "sim");
  EXPECT_TRUE(std::regex_match(launch->id(), std::regex("[0-9a-f]{32}")));
  EXPECT_EQ(launch->owner(), kNodeId);
  EXPECT_EQ(launch->receiver(), kPeerId);
  EXPECT_EQ(launch->path(), folder);
  EXPECT_EQ(statuses(*launch), (std::vector<std::string>{"New", "Sent"}));
  EXPECT_EQ(launch->to_dict()["results_path"], "None");
  EXPECT_EQ(stored_launches().begin()->second->to_dict(), launch->to_dict());

  const auto packages = packages_for(*landing_node_);
  ASSERT_EQ(packages.size(), 1u);
  std::vector<std::string> keys;
  for (const auto& [key, value] : packages[0].label.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"origin", "dest", "subject", "sent_time", "job_id",
                                            "job_name"}));
  EXPECT_EQ(packages[0].label["subject"], "job_submission");
  EXPECT_EQ(packages[0].label["job_id"], launch->id());
  EXPECT_EQ(packages[0].label["job_name"], "sim");
  EXPECT_EQ(testing::file_tree(*packages[0].attachment), testing::file_tree(folder));
}

// The launch is on file before its package goes, so that what its receiver reports finds it after
// a crash; a launch whose send failed is taken out again.
TEST_F(Launches, ALaunchIsStoredBeforeItsPackageGoesAndTakenOutWhenTheSendFails) {
  const fs::path folder = job_folder_named("sim", "");
  backend_.server().hold("/transfer/sendfilereq");
  auto sent = std::async(std::launch::async,
                         [&] { return node_->send_dockerized_app(kPeer, folder.string()); });
  // Read as a file: a store opened on it would clear the node's write under way.
  ASSERT_TRUE(eventually([&] {
    return testing::file_content("launches.bin").find("\"New\"") != std::string::npos;
  }));
  EXPECT_EQ(testing::file_content("launches.bin").find("\"Sent\""), std::string::npos);
  backend_.server().release("/transfer/sendfilereq");
  EXPECT_TRUE(sent.get());
  const auto on_file = stored_launches().begin()->second;
  EXPECT_EQ(statuses(*stored_launches().begin()->second), (std::vector<std::string>{"New", "Sent"}));
  const auto messages = model_log();
  EXPECT_NE(std::find(messages.begin(), messages.end(),
                      "Sent job " + on_file->id() + " to " + kPeerId),
            messages.end());

  backend_.server().script("/transfer/sendfilereq",
                           testing::FakeBackend::backend_answer(
                               {{"valid", false}, {"code", 5}, {"msg", "refused"}}));
  EXPECT_THROW(node_->send_dockerized_app(kPeer, folder.string()), networking::NetworkError);
  EXPECT_EQ(node_->launches().snapshot().size(), 1u);
  EXPECT_EQ(stored_launches().size(), 1u);
  EXPECT_TRUE(node_temp_names().empty());
}

// A node killed between filing a launch's results and recording them records them as it starts.
TEST_F(Launches, ResultsFiledButNotRecordedAreRecordedAtTheNextStart) {
  const fs::path job = job_folder_named("sim", "");
  for (int n = 0; n < 2; ++n) node_->send_dockerized_app(kPeer, job.string());
  drain(*landing_node_);
  const job::Launches sent = node_->launches().snapshot();
  const auto filed = sent.begin()->second;
  const auto unfiled = std::next(sent.begin())->second;
  const fs::path folder = fs::path("results") / ("sim_" + filed->id());
  fs::create_directories(folder / "filesys");
  node_.reset();
  node_ = make_node();
  const job::Launches launches = node_->launches().snapshot();
  EXPECT_EQ(launches.find(filed->id())->second->results_path(), folder);
  EXPECT_EQ(launches.find(unfiled->id())->second->results_path(), std::nullopt);
  EXPECT_EQ(stored_launches().find(filed->id())->second->results_path(), folder);
}

// The peer lands the job on the engine and reports back; the node records every status in the
// order sent and files the results under the launch's name and id.
TEST_F(Launches, TheReceiversReportsAndResultsAreRecordedAndFiled) {
  const fs::path folder = job_folder_named("sim.v1", kJob);
  node_->send_dockerized_app(kPeer, folder.string());
  const auto submission = packages_for(*landing_node_).at(0);
  const auto launch = the_launch();

  const auto& lander = landers_.emplace_back(std::make_shared<job::Lander>(
      *submission.attachment, "sim", kNodeId, kPeerId, landing_node_, launch->id()));
  lander->run();
  fs::remove_all(*submission.attachment);
  ASSERT_TRUE(eventually([&] { return engine_state(*lander->cntr_id()) == "exited"; }));
  lander->send_results();
  pass();

  EXPECT_EQ(statuses(*launch),
            (std::vector<std::string>{"New", "Sent", "Received", "Building Image",
                                      "Building Container", "Running", "Complete"}));
  const fs::path filed = fs::path("results") / ("sim_" + launch->id());
  EXPECT_EQ(launch->results_path(), filed);
  EXPECT_EQ(testing::file_tree(filed),
            (std::map<std::string, std::string>{{"filesys", "<folder>"},
                                                {"filesys/out", "<folder>"},
                                                {"filesys/out/result.txt", "42\n"},
                                                {"output.log", "hello-from-job\n"}}));
  EXPECT_EQ(stored_launches().begin()->second->to_dict()["results_path"], filed.string());
  EXPECT_TRUE(attachments_left().empty());
}

TEST_F(Launches, UpdatesOfOneJobAreRecordedInTheOrderTheyCame) {
  const auto launch = launched(job_folder_named("sim", ""));
  std::vector<std::string> expected{"New", "Sent"};
  for (int n = 0; n < 30; ++n) {
    const std::string status = "step " + std::to_string(n);  // outside the vocabulary: as it is
    send(*landing_node_, "job_update", {{"job_id", launch->id()}, {"status", status}});
    expected.push_back(status);
  }
  pass();
  EXPECT_EQ(statuses(*launch), expected);
  EXPECT_EQ(statuses(*stored_launches().begin()->second), expected);
}

// Packages about the launch from a device other than its receiver, or about a job the node does
// not hold, change nothing, send nothing and leave no folder.
TEST_F(Launches, PackagesFromAnotherDeviceOrForAnUnknownJobAreRefused) {
  const auto launch = launched(job_folder_named("sim", ""));
  const std::string id = launch->id();
  const auto results = results_folder("forged\n");
  const std::size_t writes = node_->launches().dump_count();

  send(*launch_node_, "job_update", {{"job_id", id}, {"status", "Complete"}});
  send(*landing_node_, "job_update", {{"job_id", "unknown"}, {"status", "Complete"}});
  send(*launch_node_, "job_results", {{"job_id", id}}, results.path());
  send(*landing_node_, "job_results", {{"job_id", "unknown"}}, results.path());
  send(*launch_node_, "stop_launch", {{"job_id", id}});
  pass();

  auto refused = warnings();
  std::sort(refused.begin(), refused.end());  // handlers end in any order
  EXPECT_EQ(refused, (std::vector<std::string>{
                         "Refused control 'stop' for job " + id + " from " + kDeviceId +
                             ": not the launch's receiver",
                         "Refused results for job " + id + " from " + kDeviceId +
                             ": not the launch's receiver",
                         "Refused results for job unknown from " + kPeerId + ": no such launch",
                         "Refused update for job " + id + " from " + kDeviceId +
                             ": not the launch's receiver",
                         "Refused update for job unknown from " + kPeerId + ": no such launch",
                     }));
  EXPECT_EQ(statuses(*launch), (std::vector<std::string>{"New", "Sent"}));
  EXPECT_EQ(launch->results_path(), std::nullopt);
  EXPECT_TRUE(fs::is_empty("results"));
  EXPECT_EQ(node_->launches().dump_count(), writes);
  EXPECT_TRUE(drain(*landing_node_).empty());
  EXPECT_TRUE(attachments_left().empty());
}

// A launch whose folder in the results is taken: the results are kept in the temporary folder,
// where the next start does not clear them, and the log says where.
TEST_F(Launches, ResultsThatCannotBeFiledAreKept) {
  const auto launch = launched(job_folder_named("sim", ""));
  const fs::path filed = fs::path("results") / ("sim_" + launch->id());
  fs::create_directories(filed / "older");
  const auto results = results_folder("new\n");
  send(*landing_node_, "job_results", {{"job_id", launch->id()}}, results.path());
  pass();

  const auto left = node_temp_names();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(left[0].starts_with("kept-sim_" + launch->id() + "-")) << left[0];
  EXPECT_EQ(testing::file_content(node_temp_dir() / left[0] / "output.log"), "new\n");
  EXPECT_EQ(warnings(), std::vector<std::string>{"Results of job " + launch->id() + " kept at " +
                                                 (node_temp_dir() / left[0]).string()});
  EXPECT_EQ(launch->results_path(), std::nullopt);
  EXPECT_EQ(testing::file_tree(filed), (std::map<std::string, std::string>{{"older", "<folder>"}}));
  node_.reset();
  node_ = make_node();
  EXPECT_EQ(node_temp_names(), left);
}

// Results sent again for a launch already filed are removed with a warning: four repeats once
// left four folders in the temporary directory for good. The first results stay as filed.
TEST_F(Launches, RepeatedResultsOfAFiledLaunchAreRemoved) {
  const auto launch = launched(job_folder_named("sim", ""));
  const auto first = results_folder("first\n");
  const auto again = results_folder("again\n");
  send(*landing_node_, "job_results", {{"job_id", launch->id()}}, first.path());
  for (int repeat = 0; repeat < 4; ++repeat)
    send(*landing_node_, "job_results", {{"job_id", launch->id()}}, again.path());
  pass();

  const fs::path filed = fs::path("results") / ("sim_" + launch->id());
  EXPECT_EQ(launch->results_path(), filed);
  EXPECT_EQ(testing::file_content(filed / "output.log"), "first\n");
  EXPECT_EQ(warnings(), std::vector<std::string>(
                            4, "Removed repeated results of job " + launch->id() + " from " +
                                   kPeerId + ": they were filed at " + filed.string() +
                                   " already"));
  EXPECT_TRUE(attachments_left().empty());
}

// The temporary folder and the results folder on two file systems.
TEST_F(Launches, ResultsAreFiledAlsoOnAnotherFileSystem) {
  struct stat shm {}, tmp {};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(node_temp_dir().c_str(), &tmp) != 0 ||
      shm.st_dev == tmp.st_dev)
    GTEST_SKIP() << "needs /dev/shm on a file system of its own";
  const fs::path results_folder_path = fs::path("/dev/shm") / ("velmora-" + job::Job::_make_id());
  struct Remove {
    fs::path path;
    ~Remove() { fs::remove_all(path); }
  } remove{results_folder_path};
  node_.reset();
  NodeSettings settings = this->settings();
  settings.results_folder = results_folder_path.string();
  node_ = make_node(settings);

  const auto launch = launched(job_folder_named("sim", ""));
  const auto results = results_folder("moved\n");
  send(*landing_node_, "job_results", {{"job_id", launch->id()}}, results.path());
  pass();
  const fs::path filed = results_folder_path / ("sim_" + launch->id());
  EXPECT_EQ(launch->results_path(), filed);
  EXPECT_EQ(testing::file_content(filed / "output.log"), "moved\n");
  EXPECT_TRUE(attachments_left().empty());
}

TEST_F(Launches, AControlFromTheReceiverIsForwardedAndRecorded) {
  const auto launch = launched(job_folder_named("sim", ""));
  send(*landing_node_, "pause_launch", {{"job_id", launch->id()}});
  pass();
  EXPECT_EQ(drain(*landing_node_), std::vector<std::string>{"pause_landing"});
  EXPECT_EQ(launch->status(), "Pausing");
  EXPECT_EQ(error_text<utils::RuntimeError>(
                [&] { node_->handle_control_launch(kPeer, launch->id(), "restart"); }),
            "could not control launch with case restart");
}

}  // namespace
}  // namespace velmora::model
