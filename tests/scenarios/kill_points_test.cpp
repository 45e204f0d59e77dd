// A node killed (SIGKILL) at each point of a job's road and started again in the same folder: the
// job reaches its end on both sides all the same, its results are filed, and nothing of it stays
// on the engine or in a temporary folder. Alice's node sends the job, bob's runs it.
#include <signal.h>

#include "testing/eventually.hpp"
#include "tests/scenarios/scenario_fixture.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::scenarios {
namespace {

namespace fs = std::filesystem;
using testing::eventually;

// Where the node is killed: as it logs a line (the harness kills itself there), or, with none, by
// the test once the job is running, or running and paused.
enum class Moment { at_line, running, paused };

// On which stretch of the road the kill comes: the job's (alice's kill comes before her send
// answers), after alice's send has answered, or while the two become friends (alice killed as she
// takes bob's acceptance).
enum class Stretch { job, after_the_send, befriending };

struct KillPoint {
  const char* name;
  const char* victim;  // "alice" or "bob"
  Moment moment;
  const char* line;  // the line the victim is killed at (a regular expression), for at_line
  Stretch stretch = Stretch::job;
};

const KillPoint kKillPoints[] = {
    {"DuringTheBuild", "bob", Moment::at_line,
     "INFO:velmora\\.boxwright:metadata complete, bulding\\.\\.\\."},
    {"AfterTheBuildBeforeItsStoreWrite", "bob", Moment::at_line,
     "INFO:velmora\\.boxwright:done building"},
    {"BetweenTheStartAndTheStoreWrite", "bob", Moment::at_line,
     "DEBUG:velmora\\.model:Storing landing [0-9a-f]+: Running"},
    {"WhileRunning", "bob", Moment::running, ""},
    {"WhilePaused", "bob", Moment::paused, ""},
    {"WhileTheResultsAreSent", "bob", Moment::at_line,
     "INFO:velmora\\.model:Returning the results of job [0-9a-f]+"},
    {"OnTheLaunchingSideBetweenSendAndStore", "alice", Moment::at_line,
     "INFO:velmora\\.model:Sent job [0-9a-f]+ to .*"},
    // Each package is acknowledged before its handler is started: killed there, the node finds
    // it again at its next start.
    {"BetweenTheJobsAcknowledgementAndItsLanding", "bob", Moment::at_line,
     "DEBUG:velmora\\.model:Handing 'job_submission' from .* to its handler"},
    {"BetweenTheResultsAcknowledgementAndTheirFiling", "alice", Moment::at_line,
     "DEBUG:velmora\\.model:Handing 'job_results' from .* to its handler",
     Stretch::after_the_send},
    {"BetweenAFriendPackagesAcknowledgementAndItsStore", "alice", Moment::at_line,
     "DEBUG:velmora\\.model:Handing 'friend_accept' from .* to its handler",
     Stretch::befriending},
};

void PrintTo(const KillPoint& point, std::ostream* out) { *out << point.name; }

class KillPoints : public ScenarioFixture, public ::testing::WithParamInterface<KillPoint> {
 protected:
  // The user's node, its threads started; until it is restarted, killed at the kill point's line
  // when it is the victim.
  std::unique_ptr<HarnessedNode> start(const std::string& user, bool restarted = false) {
    const KillPoint& point = GetParam();
    std::vector<std::string> args;
    if (user == point.victim && point.moment == Moment::at_line && !restarted)
      args = {"--kill-at", point.line};
    auto node = start_node(user, {}, args);
    node->ask("start_threads");
    return node;
  }

  // Waits for the victim to be killed at its line, or kills it at its moment.
  void kill(HarnessedNode& victim, HarnessedNode& alice, const std::string& job_id) {
    const KillPoint& point = GetParam();
    if (point.moment == Moment::at_line) {
      EXPECT_EQ(victim.process().wait_for_exit(), -SIGKILL) << victim.log();
      return;
    }
    ASSERT_TRUE(eventually([&] { return last(launch_statuses(alice, job_id)) == "Running"; }))
        << joined(launch_statuses(alice, job_id));
    std::string stored = "\"Running\"";
    if (point.moment == Moment::paused) {
      alice.ask("control launch " + job_id + " pause");
      ASSERT_TRUE(eventually([&] { return last(launch_statuses(alice, job_id)) == "Paused"; }));
      stored = "\"Paused\"";
    }
    ASSERT_TRUE(eventually(
        [&] { return file_text(victim, "landings.bin").find(stored) != std::string::npos; }));
    victim.process().send_signal(SIGKILL);
    ASSERT_EQ(victim.process().wait_for_exit(), -SIGKILL);
  }
};

TEST_P(KillPoints, TheJobEndsOnBothSidesAndLeavesNothingBehind) {
  const KillPoint& point = GetParam();
  auto alice = start("alice");
  auto bob = start("bob");
  if (point.stretch == Stretch::befriending) {
    ASSERT_EQ(bob->ask("declare_friend " + alice->id_hex()), true);
    kill(*alice, *alice, "");
    alice.reset();
    alice = start("alice", true);
    ASSERT_TRUE(eventually([&] {
      return file_text(*alice, "accepted_requests.bin").find(bob->id()) != std::string::npos;
    })) << alice->log();
  } else {
    make_friends(*alice, *bob);
  }
  const bool sleeper = point.moment != Moment::at_line;
  const fs::path job = sleeper ? busybox_job("sleeper", kSleeperSteps, {}) : sim_folder();

  std::string job_id;
  if (point.victim == std::string("alice") && point.stretch == Stretch::job)
    alice->process().write_line("send " + bob->id_hex() + " " + job.string());  // no answer comes
  else
    job_id = send_job(*alice, *bob, job);
  std::unique_ptr<HarnessedNode>& victim = point.victim == std::string("alice") ? alice : bob;
  if (point.stretch != Stretch::befriending) {
    kill(*victim, *alice, job_id);
    if (HasFatalFailure()) return;
    victim.reset();
    victim = start(point.victim, true);
  }
  if (job_id.empty()) {
    const utils::Value launches = alice->ask("launches");
    ASSERT_EQ(launches.size(), 1u) << "the launch was stored before its package went";
    job_id = launches[0].get<std::string>();
    janitor_.image(job.stem().string() + ":" + job_id);
  }

  std::string end = "Complete";
  if (sleeper) {
    if (point.moment == Moment::paused) {
      alice->ask("control launch " + job_id + " unpause");
      ASSERT_TRUE(eventually([&] { return last(launch_statuses(*alice, job_id)) == "Unpaused"; }))
          << joined(launch_statuses(*alice, job_id)) << bob->log();
    }
    alice->ask("control launch " + job_id + " stop");
    end = "Stopped";
  }
  ASSERT_TRUE(eventually([&] { return last(launch_statuses(*alice, job_id)) == end; }))
      << joined(launch_statuses(*alice, job_id)) << "\n" << bob->log();
  EXPECT_EQ(last(landing_statuses(*bob, job_id)), end);
  EXPECT_TRUE(eventually([&] {
    return file_text(*bob, "landings.bin").find('"' + end + '"') != std::string::npos;
  }));

  // The results, where the launch says.
  const std::string results = "results/" + job.stem().string() + "_" + job_id;
  ASSERT_TRUE(
      eventually([&] { return alice->ask("launch " + job_id).at("results_path") == results; }))
      << alice->ask("launch " + job_id).dump();
  EXPECT_EQ(read_text(alice->folder() / results / "output.log"), sleeper ? "" : "hello-from-job\n");
  if (!sleeper) {
    EXPECT_EQ(read_text(alice->folder() / results / "filesys/out/result.txt"), "42\n");
  }

  // Nothing left on the engine or in a temporary folder.
  const std::string container = bob->ask("landing " + job_id).at("cntr_id").get<std::string>();
  EXPECT_TRUE(eventually([&] { return !engine_has_container(container); }));
  EXPECT_TRUE(eventually([&] {
    return engine_.list_containers({{"label", label_}}, true).empty();
  }));
  EXPECT_TRUE(eventually([&] { return alice->temp_names().empty() && bob->temp_names().empty(); }))
      << joined(alice->temp_names()) << joined(bob->temp_names());
}

INSTANTIATE_TEST_SUITE_P(OnTheJobRoad, KillPoints, ::testing::ValuesIn(kKillPoints),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora::scenarios
