// The job road between node processes: a job folder sent from one user's node to a friend's, run
// on the engine there, its statuses and results back on the sender's node; and how the road
// holds when a job is refused, controlled, fails or outlives its node, and when a stranger sends
// packages about other users' jobs.
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "testing/eventually.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"
#include "tests/scenarios/scenario_fixture.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::scenarios {
namespace {

namespace fs = std::filesystem;
using testing::eventually;

// Whether a landing's statuses have come to their end: complete, or failed.
bool settled(const Statuses& statuses) {
  return !statuses.empty() && (statuses.back() == "Complete" || statuses.back().ends_with("Failed"));
}

using JobRoad = ScenarioFixture;

TEST_F(JobRoad, AJobTravelsToAFriendsNodeAndItsResultsComeBack) {
  // 1. Two fresh nodes.
  auto alice = start_node("alice");
  auto bob = start_node("bob");
  EXPECT_EQ(names_in(alice->folder()),
            (std::set<std::string>{"priv.key", "pub.key", "mid.bin", "VelmoraGroups.bin",
                                   "launches.bin", "landings.bin", "VelmoraFriends.bin",
                                   "inbound_requests.bin", "pending_requests.bin",
                                   "accepted_requests.bin", "rejected_requests.bin",
                                   "friend_removals.bin", "group_invitations.bin",
                                   "group_requests.bin", "group_removals.bin",
                                   "owned_groups.bin", "results", "velmora-inbox",
                                   "velmora-tmp"}));
  EXPECT_EQ(fs::status(alice->folder() / "priv.key").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(in_order(alice->log_lines(), {"INFO:velmora.model:Instantiating Velmora",
                                      "INFO:velmora.model:Docker is running!",
                                      "INFO:velmora.model:Keys not found in file system; "
                                      "creating them",
                                      "INFO:velmora.model:Creating results folder at results",
                                      "INFO:velmora.model:creating threads"}))
      << alice->log();
  EXPECT_TRUE(status_reports(alice->id()).empty());
  EXPECT_TRUE(status_reports(bob->id()).empty());
  EXPECT_NE(alice->id(), bob->id());

  // 2. Their polls start once.
  alice->ask("start_threads");
  bob->ask("start_threads");
  EXPECT_EQ(status_reports(alice->id()), Statuses{"ONLINE"});
  EXPECT_EQ(status_reports(bob->id()), Statuses{"ONLINE"});
  alice->ask("start_threads");
  EXPECT_TRUE(alice->logged("WARNING:velmora.model:Redundant thread start"));
  EXPECT_EQ(status_reports(alice->id()), Statuses{"ONLINE"});

  // 3. Friends.
  make_friends(*alice, *bob);
  EXPECT_NE(file_text(*bob, "VelmoraFriends.bin").find(alice->id()), std::string::npos);

  // 4. The job leaves alice's node.
  const fs::path job = sim_folder();
  const std::string job_id = send_job(*alice, *bob, job);
  utils::Value launch = alice->ask("launch " + job_id);
  EXPECT_EQ(launch.at("name"), "sim");
  EXPECT_EQ(job_id.size(), 32u);
  EXPECT_EQ(job_id.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(launch.at("owner"), alice->id());
  EXPECT_EQ(launch.at("receiver"), bob->id());
  EXPECT_EQ(launch.at("path"), job.string());
  EXPECT_EQ(launch_statuses(*alice, job_id), (Statuses{"New", "Sent"}));
  EXPECT_EQ(launch.at("results_path"), "None");
  const std::string stored = file_text(*alice, "launches.bin");
  EXPECT_NE(stored.find(job_id), std::string::npos);
  EXPECT_NE(stored.find("\"Sent\""), std::string::npos);

  std::vector<testing::RecordedPackage> submissions;
  for (const auto& package : packages())
    if (package.from == alice->id()) submissions.push_back(package);
  ASSERT_EQ(submissions.size(), 1u);
  EXPECT_EQ(submissions[0].to, bob->id());
  const PackageView submission = open_package(submissions[0].file, folder_.path() / "opened");
  std::vector<std::string> members;
  for (const auto& [key, value] : submission.label.items()) members.push_back(key);
  EXPECT_EQ(members, (std::vector<std::string>{"origin", "dest", "subject", "sent_time", "job_id",
                                               "job_name"}));
  EXPECT_EQ(submission.label.value("subject", ""), "job_submission");
  EXPECT_EQ(submission.label.value("job_name", ""), "sim");
  std::vector<std::string> attached = submission.attachment_names;
  std::sort(attached.begin(), attached.end());
  EXPECT_EQ(attached, (std::vector<std::string>{"Dockerfile", "busybox.tar", "input.txt"}));
  EXPECT_TRUE(alice->temp_names().empty());

  // 5. Bob's node runs it.
  ASSERT_TRUE(eventually([&] { return settled(landing_statuses(*bob, job_id)); }));
  ASSERT_EQ(landing_statuses(*bob, job_id), kLandingRoad) << bob->log();
  const utils::Value landing = bob->ask("landing " + job_id);
  EXPECT_EQ(landing.at("owner"), alice->id());
  EXPECT_EQ(landing.at("receiver"), bob->id());
  const utils::Value image = engine_.inspect_image(landing.at("img_id").get<std::string>());
  EXPECT_NE(image.at("RepoTags").dump().find(":" + job_id + "\""), std::string::npos);
  ASSERT_TRUE(landing.at("cntr_id").is_string());
  EXPECT_TRUE(eventually(
      [&] { return !engine_has_container(landing.at("cntr_id").get<std::string>()); }));
  EXPECT_TRUE(eventually([&] { return bob->temp_names().empty(); }));
  EXPECT_TRUE(eventually(
      [&] { return file_text(*bob, "landings.bin").find("\"Complete\"") != std::string::npos; }));

  // 6. What bob's node sent back, in order.
  EXPECT_TRUE(eventually([&] {
    return job_packages(bob->id(), alice->id()) ==
           Statuses{"job_update Received", "job_update Building Image",
                    "job_update Building Container", "job_update Running", "job_results",
                    "job_update Complete"};
  })) << joined(job_packages(bob->id(), alice->id()));

  // 7. Alice's node files the results.
  ASSERT_TRUE(eventually([&] { return launch_statuses(*alice, job_id) == kLaunchRoad; }))
      << joined(launch_statuses(*alice, job_id));
  const std::string results = "results/sim_" + job_id;
  ASSERT_TRUE(
      eventually([&] { return alice->ask("launch " + job_id).at("results_path") == results; }));
  EXPECT_EQ(read_text(alice->folder() / results / "output.log"), "hello-from-job\n");
  EXPECT_EQ(read_text(alice->folder() / results / "filesys/out/result.txt"), "42\n");
  EXPECT_EQ(names_in(alice->folder() / results), (std::set<std::string>{"output.log", "filesys"}));
  EXPECT_TRUE(eventually([&] { return alice->temp_names().empty(); }));

  // 14. Shutdown.
  alice->ask("kill_threads");
  bob->ask("kill_threads");
  EXPECT_EQ(status_reports(alice->id()), (Statuses{"ONLINE", "OFFLINE"}));
  EXPECT_EQ(status_reports(bob->id()), (Statuses{"ONLINE", "OFFLINE"}));
  alice->ask("start_threads");
  EXPECT_TRUE(alice->logged("WARNING:velmora.model:Redundant thread start"));
  EXPECT_EQ(status_reports(alice->id()), (Statuses{"ONLINE", "OFFLINE"}));
  alice->ask("quit");
  EXPECT_EQ(alice->process().wait_for_exit(), 0);
}

TEST_F(JobRoad, AStrangersJobIsRejected) {
  auto bob = start_node("bob");
  auto carol = start_node("carol");
  bob->ask("start_threads");
  carol->ask("start_threads");
  const std::string job_id = send_job(*carol, *bob, sim_folder());
  ASSERT_TRUE(eventually([&] {
    return launch_statuses(*carol, job_id) == Statuses{"New", "Sent", "Received", "Rejected"};
  })) << joined(launch_statuses(*carol, job_id));
  EXPECT_TRUE(bob->logged("WARNING:velmora.model:Job " + job_id + " from " + carol->id() +
                          " has been rejected"));
  EXPECT_EQ(bob->ask("landings"), utils::Value::array());
  EXPECT_TRUE(eventually([&] { return bob->temp_names().empty(); }));
  EXPECT_THROW(engine_.inspect_image("sim:" + job_id), boxwright::engine::NotFoundError);
}

class RunningJob : public JobRoad {
 protected:
  RunningJob() : alice_(start_node("alice")), bob_(start_node("bob")) {
    alice_->ask("start_threads");
    bob_->ask("start_threads");
    make_friends(*alice_, *bob_);
  }

  // A job that sleeps until it is stopped, sent from alice to bob and running there; its id.
  std::string start_sleeper() {
    const std::string job_id = send_job(*alice_, *bob_, busybox_job("sleeper", kSleeperSteps, {}));
    EXPECT_TRUE(eventually([&] { return last(launch_statuses(*alice_, job_id)) == "Running"; }))
        << joined(launch_statuses(*alice_, job_id));
    return job_id;
  }
  std::string container_of(const std::string& job_id) {
    return bob_->ask("landing " + job_id).at("cntr_id").get<std::string>();
  }
  std::string engine_status(const std::string& container) {
    return engine_.inspect_container(container).at("State").at("Status").get<std::string>();
  }

  std::unique_ptr<HarnessedNode> alice_;
  std::unique_ptr<HarnessedNode> bob_;
};

TEST_F(RunningJob, TheSendersControlsReachTheContainer) {
  const std::string job_id = start_sleeper();
  const std::string container = container_of(job_id);

  alice_->ask("control launch " + job_id + " pause");
  EXPECT_EQ(last(launch_statuses(*alice_, job_id)), "Pausing");
  EXPECT_TRUE(eventually([&] { return engine_status(container) == "paused"; }));
  EXPECT_TRUE(eventually([&] { return last(launch_statuses(*alice_, job_id)) == "Paused"; }));

  alice_->ask("control launch " + job_id + " unpause");
  EXPECT_EQ(last(launch_statuses(*alice_, job_id)), "Unpausing");
  EXPECT_TRUE(eventually([&] { return engine_status(container) == "running"; }));
  EXPECT_TRUE(eventually([&] { return last(launch_statuses(*alice_, job_id)) == "Unpaused"; }));

  alice_->ask("control launch " + job_id + " stop");
  EXPECT_EQ(last(launch_statuses(*alice_, job_id)), "Stopping");
  EXPECT_TRUE(eventually([&] { return last(launch_statuses(*alice_, job_id)) == "Stopped"; }))
      << joined(launch_statuses(*alice_, job_id));
  const Statuses history = launch_statuses(*alice_, job_id);
  EXPECT_TRUE(in_order(history, {"Running", "Pausing", "Paused", "Unpausing", "Unpaused",
                                 "Stopping", "Stopping", "Stopped"}))
      << joined(history);
  const std::string results = "results/sleeper_" + job_id;
  ASSERT_TRUE(
      eventually([&] { return alice_->ask("launch " + job_id).at("results_path") == results; }));
  EXPECT_EQ(read_text(alice_->folder() / results / "output.log"), "");
  EXPECT_TRUE(fs::is_empty(alice_->folder() / results / "filesys"));
  EXPECT_TRUE(eventually([&] { return !engine_has_container(container); }));
}

TEST_F(RunningJob, TheRunningNodeStopsItsOwnLanding) {
  const std::string job_id = start_sleeper();
  bob_->ask("control landing " + job_id + " stop");
  EXPECT_EQ(last(landing_statuses(*bob_, job_id)), "Stopping");
  EXPECT_TRUE(eventually([&] { return last(landing_statuses(*bob_, job_id)) == "Stopped"; }))
      << joined(landing_statuses(*bob_, job_id));
  EXPECT_TRUE(eventually([&] { return last(launch_statuses(*alice_, job_id)) == "Stopped"; }));
}

TEST_F(RunningJob, FailedBuildsAreReportedAndKept) {
  const std::string absent = send_job(
      *alice_, *bob_, job_folder("absent", "FROM velmora-test/absent:1\nCMD [\"true\"]\n", {}));
  const std::string no_cmd = send_job(*alice_, *bob_, busybox_job("nocmd", "", {}));
  ASSERT_TRUE(eventually([&] {
    return last(launch_statuses(*alice_, absent)) == "Building Image Failed" &&
           last(launch_statuses(*alice_, no_cmd)) == "Building Container Failed";
  })) << joined(launch_statuses(*alice_, absent)) << joined(launch_statuses(*alice_, no_cmd));
  EXPECT_EQ(launch_statuses(*alice_, absent),
            (Statuses{"New", "Sent", "Received", "Building Image", "Building Image Failed"}));
  EXPECT_TRUE(bob_->logged("WARNING:velmora.model:Lander " + absent + " encountered an error"));
  EXPECT_EQ(last(landing_statuses(*bob_, absent)), "Building Image Failed");
  EXPECT_EQ(last(landing_statuses(*bob_, no_cmd)), "Building Container Failed");
  EXPECT_NO_THROW(engine_.inspect_image("nocmd:" + no_cmd));
  EXPECT_NE(file_text(*bob_, "landings.bin").find("Building Image Failed"), std::string::npos);
}

TEST_F(RunningJob, ARestartedNodeDropsALandingWhoseContainerWentAndReattachesTheOthers) {
  const std::string gone = start_sleeper();
  const std::string kept = start_sleeper();
  const std::string gone_container = container_of(gone);
  bob_->process().send_signal(SIGKILL);
  ASSERT_TRUE(bob_->process().wait_for_exit());
  engine_.remove_container(gone_container, {.force = true});

  bob_.reset();
  bob_ = start_node("bob");
  bob_->ask("start_threads");
  EXPECT_TRUE(bob_->logged("INFO:velmora.model:Importing keypair from file system"));
  EXPECT_TRUE(bob_->logged("INFO:velmora.model:Could not find container id " + gone_container +
                           "; removing associated landing"))
      << bob_->log();
  EXPECT_TRUE(
      eventually([&] { return last(launch_statuses(*alice_, gone)) == "Container Removed"; }));
  EXPECT_EQ(file_text(*bob_, "landings.bin").find(gone), std::string::npos);

  alice_->ask("control launch " + kept + " stop");
  EXPECT_TRUE(eventually([&] { return last(launch_statuses(*alice_, kept)) == "Stopped"; }))
      << joined(launch_statuses(*alice_, kept));
  EXPECT_TRUE(eventually([&] {
    return alice_->ask("launch " + kept).at("results_path") == "results/sleeper_" + kept;
  }));
}

TEST_F(RunningJob, ANodeRestartedWhileTheEngineIsDownKeepsItsLandingsAndReportsNothing) {
  const std::string job_id = start_sleeper();
  const std::string container = container_of(job_id);
  bob_->process().send_signal(SIGKILL);
  ASSERT_TRUE(bob_->process().wait_for_exit());
  const Statuses sent_to_alice = job_packages(bob_->id(), alice_->id());

  // The landings are taken in as the node is built, before it answers: what it reported by then
  // is in the record.
  bob_.reset();
  bob_ = start_node("bob", {{"DOCKER_HOST", "unix://" + (folder_.path() / "no.sock").string()}});
  bob_->ask("start_threads");
  EXPECT_TRUE(bob_->logged("INFO:velmora.model:Importing keypair from file system"));
  EXPECT_FALSE(bob_->logged("INFO:velmora.model:Docker is running!")) << bob_->log();
  EXPECT_EQ(status_reports(bob_->id()), (Statuses{"ONLINE", "ONLINE"}));
  EXPECT_EQ(bob_->ask("landings"), utils::Value::array({job_id}));
  EXPECT_EQ(last(landing_statuses(*bob_, job_id)), "Running");
  EXPECT_NE(file_text(*bob_, "landings.bin").find(job_id), std::string::npos);
  EXPECT_EQ(job_packages(bob_->id(), alice_->id()), sent_to_alice);
  EXPECT_EQ(last(launch_statuses(*alice_, job_id)), "Running");

  EXPECT_EQ(engine_status(container), "running");
  engine_.remove_container(container, {.force = true});
}

// Carol's node sends packages made by hand: signed by her device, under her true origin, about
// jobs between alice and bob.
class HostilePeer : public RunningJob {
 protected:
  HostilePeer() : carol_(start_node("carol")) { carol_->ask("start_threads"); }

  void send_from_carol(const HarnessedNode& to, const std::string& subject,
                       const utils::Value& labels, const fs::path& attachment = {}) {
    utils::Value package{{"dest", to.id_hex()}, {"subject", subject}, {"labels", labels}};
    if (!attachment.empty()) package["attachment"] = attachment.string();
    carol_->ask("package " + package.dump());
  }
  // Whether node logged that it refused what carol sent about job_id, and why.
  bool refused(const HarnessedNode& node, const std::string& what, const std::string& job_id,
               const std::string& why) {
    return node.logged("WARNING:velmora.model:Refused " + what + " for job " + job_id + " from " +
                       carol_->id() + ": " + why);
  }

  std::unique_ptr<HarnessedNode> carol_;
};

TEST_F(HostilePeer, CannotStopAnotherOwnersLandingNorTakeOverItsId) {
  const std::string job_id = start_sleeper();
  const std::string container = container_of(job_id);
  const Statuses sent_to_alice = job_packages(bob_->id(), alice_->id());

  send_from_carol(*bob_, "stop_landing", {{"job_id", job_id}});
  ASSERT_TRUE(eventually(
      [&] { return refused(*bob_, "control 'stop'", job_id, "not the landing's owner"); }))
      << bob_->log();
  EXPECT_EQ(engine_status(container), "running");
  EXPECT_EQ(last(landing_statuses(*bob_, job_id)), "Running");

  // As bob's friend, so that only the id stands in the way. Should the job be built all the same,
  // its image goes at the end.
  ASSERT_EQ(bob_->ask("declare_friend " + carol_->id_hex()), true);
  janitor_.image("sim:" + job_id);
  send_from_carol(*bob_, "job_submission", {{"job_id", job_id}, {"job_name", "sim"}},
                  sim_folder());
  ASSERT_TRUE(eventually([&] {
    return bob_->logged("WARNING:velmora.model:Job " + job_id + " from " + carol_->id() +
                        " has been rejected");
  })) << bob_->log();
  EXPECT_TRUE(eventually([&] {
    return job_packages(bob_->id(), carol_->id()) ==
           Statuses{"job_update Received", "job_update Rejected"};
  })) << joined(job_packages(bob_->id(), carol_->id()));
  const utils::Value landing = bob_->ask("landing " + job_id);
  EXPECT_EQ(landing.at("owner"), alice_->id());
  EXPECT_EQ(landing.at("cntr_id"), container);
  EXPECT_EQ(last(landing_statuses(*bob_, job_id)), "Running");
  EXPECT_EQ(engine_status(container), "running");
  EXPECT_THROW(engine_.inspect_image("sim:" + job_id), boxwright::engine::NotFoundError);
  EXPECT_TRUE(eventually([&] { return bob_->temp_names().empty(); }));

  EXPECT_EQ(job_packages(carol_->id(), bob_->id()), (Statuses{"stop_landing", "job_submission"}));
  EXPECT_EQ(job_packages(bob_->id(), alice_->id()), sent_to_alice);
  EXPECT_EQ(last(launch_statuses(*alice_, job_id)), "Running");
}

TEST_F(HostilePeer, CannotReportOnALaunchItDidNotReceive) {
  const std::string job_id = start_sleeper();
  const fs::path forged = folder_.path() / "forged";
  fs::create_directories(forged / "filesys");
  std::ofstream(forged / "output.log") << "forged\n";

  send_from_carol(*alice_, "job_update", {{"job_id", job_id}, {"status", "Complete"}});
  send_from_carol(*alice_, "job_results", {{"job_id", job_id}}, forged);
  ASSERT_TRUE(eventually([&] {
    return refused(*alice_, "update", job_id, "not the launch's receiver") &&
           refused(*alice_, "results", job_id, "not the launch's receiver");
  })) << alice_->log();
  EXPECT_TRUE(eventually([&] { return alice_->temp_names().empty(); }));
  EXPECT_EQ(last(launch_statuses(*alice_, job_id)), "Running");
  EXPECT_EQ(alice_->ask("launch " + job_id).at("results_path"), "None");
  EXPECT_TRUE(fs::is_empty(alice_->folder() / "results"));
  EXPECT_EQ(file_text(*alice_, "launches.bin").find("Complete"), std::string::npos);
  EXPECT_EQ(job_packages(carol_->id(), alice_->id()),
            (Statuses{"job_update Complete", "job_results"}));
}

}  // namespace
}  // namespace velmora::scenarios
