// The landing side of the job road on the node: jobs that the peer kDeviceId submits are admitted
// or refused, run on the engine of the environment, controlled and returned.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "job_road_fixture.hpp"
#include "velmora/model/bounds.hpp"
#include "testing/environment_setting.hpp"
#include "testing/eventually.hpp"
#include "testing/file_tree.hpp"

namespace velmora::model {
namespace {

using namespace std::chrono_literals;
using job::Lander;
using job::Launcher;
using networking::kDeviceId;
using networking::kPeerId;
using testing::eventually;

const utils::Bytes kOwner = utils::s2b(kDeviceId);

class Landings : public JobRoadFixture {
 protected:
  void befriend_owner() {
    node_->friends().with([](DeviceIds& friends) { friends.insert(kOwner); });
    node_->friends().dump();
  }

  // The owner's launch of a job that runs steps, submitted to the node; the owner's queue is
  // emptied, and a dispatcher pass has handled the submission.
  std::shared_ptr<Launcher> submit(std::string_view steps,
                                   const std::optional<std::string>& id = std::nullopt) {
    auto launch = std::make_shared<Launcher>(job_folder_named("sim.v1", steps), "sim", kDeviceId,
                                             kNodeId, launch_node_, id);
    launch->send();
    pass();
    return launch;
  }

  std::shared_ptr<Lander> landing(const std::string& job_id) {
    const job::Landings landings = node_->landings().snapshot();
    const auto found = landings.find(job_id);
    return found == landings.end() ? nullptr : found->second;
  }

  static std::string stored_status(const std::string& job_id) {
    const auto stored = Store<job::Landings>("landings.bin", [] { return job::Landings(); }).snapshot();
    const auto found = stored.find(job_id);
    return found == stored.end() ? "not stored" : found->second->status();
  }

  // The packages that reached the owner since it last looked.
  std::vector<std::string> sent_to_owner() { return drain(*launch_node_); }
};

// The whole way of a friend's job: stored, built, run and watched, then returned once its
// container has exited, with every status reported to the owner in order.
TEST_F(Landings, AFriendsJobIsStoredRunWatchedAndReturned) {
  befriend_owner();
  const auto launch = submit(job::kQuickJob);
  const auto landed = landing(launch->id());
  ASSERT_NE(landed, nullptr);
  EXPECT_EQ(landed->owner(), kDeviceId);
  EXPECT_EQ(landed->receiver(), kNodeId);
  EXPECT_EQ(landed->name(), "sim");
  EXPECT_EQ(statuses(*landed), (std::vector<std::string>{"New", "Received", "Building Image",
                                                         "Building Container", "Running"}));
  EXPECT_EQ(stored_status(launch->id()), "Running");
  ASSERT_TRUE(landed->cntr_id());
  const std::string cntr_id = landed->cntr()->id;
  EXPECT_EQ(node_->running_landers().find(cntr_id), landed);
  EXPECT_EQ(engine_.inspect_image(*landed->img_id())["RepoTags"][0], "sim:" + launch->id());
  EXPECT_TRUE(attachments_left().empty()) << "the job folder is gone";

  ASSERT_TRUE(eventually([&] { return engine_state(cntr_id) == "exited"; }));
  node_->handle_exited_containers();
  EXPECT_EQ(landed->status(), "Complete");
  EXPECT_EQ(stored_status(launch->id()), "Complete");
  EXPECT_EQ(node_->running_landers().size(), 0u);
  EXPECT_FALSE(engine_has(cntr_id));
  EXPECT_EQ(landed->cntr_id(), cntr_id);
  EXPECT_EQ(sent_to_owner(),
            (std::vector<std::string>{"job_update Received", "job_update Building Image",
                                      "job_update Building Container", "job_update Running",
                                      "job_results", "job_update Complete"}));
  EXPECT_TRUE(attachments_left().empty());
}

// A flood of submissions: each is stored once its handler has run, and never more than
// kConcurrentBuilds are built at once (a build spans its "Building Image" and "Running").
TEST_F(Landings, SubmittedJobsAreStoredAndBuiltAFewAtATime) {
  befriend_owner();
  constexpr std::size_t kJobs = 5;
  std::vector<std::string> ids;
  for (std::size_t n = 0; n < kJobs; ++n) {
    Launcher launch(job_folder_named("sim", job::kQuickJob), "sim", kDeviceId, kNodeId,
                    launch_node_);
    launch.send();
    ids.push_back(launch.id());
  }
  node_->handle_received_files();
  ASSERT_TRUE(node_->handlers().wait_idle_for(testing::kUnderLoad));
  // Read as a file while the builds write it: a store opened on it would clear their writes.
  const std::string on_file = testing::file_content("landings.bin");
  for (const std::string& id : ids) EXPECT_NE(on_file.find(id), std::string::npos) << id;
  EXPECT_LE(node_->builds().threads(), kConcurrentBuilds);
  ASSERT_TRUE(node_->wait_for_handlers(testing::kUnderLoad));

  std::vector<std::pair<double, int>> edges;  // +1 as a build begins, -1 as it ends
  for (const std::string& id : ids) {
    const auto landed = landing(id);
    ASSERT_EQ(landed->status(), "Running") << id;
    for (const auto& [status, time] : landed->status_history()) {
      if (status == "Building Image") edges.emplace_back(std::stod(time), +1);
      if (status == "Running") edges.emplace_back(std::stod(time), -1);
    }
  }
  std::sort(edges.begin(), edges.end());  // at one time, an end before a beginning
  int building = 0;
  int most = 0;
  for (const auto& [time, edge] : edges) most = std::max(most, building += edge);
  EXPECT_LE(most, static_cast<int>(kConcurrentBuilds));
}

// Refused: reported "Received" and "Rejected", logged, nothing stored or built, folder gone.
TEST_F(Landings, JobsAreRefusedFromStrangersWithoutAnEngineAndUnderAnotherOwnersId) {
  const auto refused = [&](const std::shared_ptr<Launcher>& launch, const std::string& reason = "") {
    EXPECT_EQ(sent_to_owner(),
              (std::vector<std::string>{"job_update Received", "job_update Rejected"}));
    EXPECT_EQ(warnings().back(),
              "Job " + launch->id() + " from " + kDeviceId + " has been rejected" + reason);
    EXPECT_TRUE(attachments_left().empty());
  };

  const auto stranger = submit(job::kQuickJob);  // not a friend
  refused(stranger);
  EXPECT_TRUE(node_->landings().snapshot().empty());

  // A landing of another owner holds the id: it stays as it was.
  befriend_owner();
  const auto others = std::make_shared<Lander>("elsewhere", "other", kPeerId, kNodeId, nullptr,
                                               "0123456789abcdef0123456789abcdef", false);
  node_->landings().with([&](job::Landings& landings) { landings.insert_or_assign(others->id(), others); });
  node_->landings().dump();
  refused(submit(job::kQuickJob, others->id()));
  EXPECT_EQ(landing(others->id()), others);
  EXPECT_EQ(statuses(*others), std::vector<std::string>{"New"});

  // An engine that did not answer when the node was built.
  node_.reset();
  {
    const testing::EnvironmentSetting no_engine("DOCKER_HOST", "unix:///nonexistent/docker.sock");
    node_ = make_node();
  }
  const auto unrun = submit(job::kQuickJob);
  refused(unrun, ": no container engine answered when the node was built; restart velmorad once "
                 "the engine runs");
  EXPECT_EQ(landing(unrun->id()), nullptr);
}

// A failed build is logged, and the landing stays stored, on file too, with its failure status.
TEST_F(Landings, AFailedBuildIsLoggedAndStoredWithItsFailureStatus) {
  befriend_owner();
  const auto launch = submit("FROM 127.0.0.1:9/velmora-missing:none\n");
  EXPECT_EQ(sent_to_owner(),
            (std::vector<std::string>{"job_update Received", "job_update Building Image",
                                      "job_update Building Image Failed"}));
  const auto records = log_.records();
  const auto line = std::find_if(records.begin(), records.end(), [](const auto& record) {
    return record.message.starts_with("Lander ");
  });
  ASSERT_NE(line, records.end());
  EXPECT_EQ(line->message, "Lander " + launch->id() + " encountered an error");
  EXPECT_EQ(line->level, utils::log::kWarning);
  EXPECT_FALSE(line->error_text.empty());
  EXPECT_EQ(landing(launch->id())->status(), "Building Image Failed");
  EXPECT_EQ(stored_status(launch->id()), "Building Image Failed");
  EXPECT_EQ(node_->running_landers().size(), 0u);
  EXPECT_TRUE(attachments_left().empty());
}

// A job package taken twice, or sent again under its id by its owner, lands once: the second is
// dropped with a line in the log, before anything is reported, and its folder removed.
TEST_F(Landings, ASubmissionUnderTheIdOfALandingOfTheSameOwnerIsDropped) {
  befriend_owner();
  constexpr std::string_view kUnbuildable = "FROM 127.0.0.1:9/velmora-missing:none\n";
  const auto first = submit(kUnbuildable);
  const auto earlier = landing(first->id());
  ASSERT_NE(earlier, nullptr);
  sent_to_owner();  // what the first reported
  submit(kUnbuildable, first->id());
  EXPECT_EQ(landing(first->id()), earlier);
  EXPECT_EQ(node_->landings().snapshot().size(), 1u);
  EXPECT_EQ(stored_status(first->id()), "Building Image Failed");
  const std::vector<std::string> reported = sent_to_owner();
  EXPECT_EQ(std::count(reported.begin(), reported.end(), "job_update Received"), 0);
  const auto records = log_.records();
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&](const auto& record) {
    return record.message == "Dropped job " + first->id() + " from " + std::string(kDeviceId) +
                                 ": it has landed here already";
  }));
  EXPECT_TRUE(attachments_left().empty());
}

// The owner's controls reach the container; another device's are refused, and send nothing.
TEST_F(Landings, ControlsFromTheOwnerReachTheContainerAndOthersAreRefused) {
  befriend_owner();
  const auto launch = submit(job::kLongJob);
  const auto landed = landing(launch->id());
  ASSERT_EQ(landed->status(), "Running");
  const std::string cntr_id = *landed->cntr_id();
  sent_to_owner();

  send(*landing_node_, "stop_landing", {{"job_id", launch->id()}});
  pass();
  EXPECT_EQ(warnings().back(), "Refused control 'stop' for job " + launch->id() + " from " +
                                   kPeerId + ": not the landing's owner");
  EXPECT_EQ(engine_state(cntr_id), "running");

  launch->pause();
  pass();
  EXPECT_EQ(engine_state(cntr_id), "paused");
  EXPECT_EQ(stored_status(launch->id()), "Paused");  // a control's status is on file at once
  launch->unpause();
  pass();
  EXPECT_EQ(engine_state(cntr_id), "running");
  launch->stop();
  pass();
  EXPECT_EQ(engine_state(cntr_id), "exited");
  EXPECT_EQ(sent_to_owner(), (std::vector<std::string>{"job_update Paused", "job_update Unpaused",
                                                       "job_update Stopping"}));
  EXPECT_TRUE(attachments_left().empty()) << "the folders the controls came with are gone";

  node_->handle_exited_containers();
  EXPECT_EQ(landed->status(), "Stopped");
  EXPECT_EQ(error_text<utils::RuntimeError>(
                [&] { node_->handle_control_landing(kOwner, launch->id(), "restart"); }),
            "could not control landing with case restart");
}

}  // namespace
}  // namespace velmora::model
