// Landings left on their way when the node starts: watched again when their container has
// started, resumed when it is still to be made or started, dropped with a failure reported when
// their container or job folder is gone, kept as they are when the engine cannot tell. Against
// the real engine, and a stand-in for the failures it never gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <utility>

#include "node_fixture.hpp"
#include "testing/environment_setting.hpp"
#include "testing/eventually.hpp"
#include "testing/fake_engine.hpp"
#include "velmora/boxwright/life_cycle.hpp"
#include "velmora/job/container_labels.hpp"
#include "velmora/job/job_status.hpp"

namespace velmora::model {
namespace {

using job::Lander;
using job::Landings;
using namespace std::chrono_literals;
using testing::eventually;

class Reattach : public NodeFixture {
 protected:
  // A landing stored with status, in a container of that id (none: no container).
  static std::shared_ptr<Lander> stored_landing(const std::string& job_id,
                                                std::string_view status,
                                                const std::optional<std::string>& cntr_id) {
    auto lander = std::make_shared<Lander>("sim", "sim", networking::kDeviceId,
                                           networking::kPeerId, nullptr, job_id, false);
    lander->set_status(status);
    if (cntr_id) lander->set_cntr({*cntr_id, "quirky_name"});
    return lander;
  }

  void store(const std::vector<std::shared_ptr<Lander>>& landers) const {
    Landings landings;
    for (const auto& lander : landers) landings.insert_or_assign(lander->id(), lander);
    Store<Landings>("landings.bin", [&] { return landings; });
  }

  static std::vector<std::string> stored_ids(Velmora& node) {
    std::vector<std::string> ids;
    for (const auto& [job_id, lander] : node.landings().snapshot()) ids.push_back(job_id);
    return ids;
  }

  // What the owner, the launch node, has been sent since it last looked.
  std::vector<std::string> sent_to_owner() { return summaries(packages_for(*launch_node_)); }

  static inline const std::string kGone = std::string(64, 'f');  // no container of the engine
};

// A container that is still there is watched again, under its id, as the very record stored; when
// it exits, the container-query poll returns its results to the owner.
TEST_F(Reattach, LandingWhoseContainerIsThereIsWatchedAndReturnsItsResults) {
  const auto folder = job_folder(job::kLongJob);
  const auto running = make_lander(folder.path(), std::nullopt, false);
  running->run();
  const std::string cntr_id = *running->cntr_id();
  store({running});
  lay_down_node_identity();
  sent_to_owner();

  NodeSettings settings = this->settings();
  settings.container_query_interval = 1;
  const auto node = make_node(settings);
  const auto watched = node->running_landers().find(cntr_id);
  ASSERT_NE(watched, nullptr);
  EXPECT_EQ(watched, node->landings().snapshot().begin()->second);
  EXPECT_EQ(watched->network(), node->network());
  EXPECT_TRUE(sent_to_owner().empty());

  node->start_threads();
  engine_.stop_container(cntr_id);
  ASSERT_TRUE(eventually([&] { return watched->status() == job::status::kComplete; }));
  EXPECT_EQ(node->running_landers().size(), 0u);
  node->kill_threads();  // the pass under way, which removes the container, has ended
  EXPECT_EQ(sent_to_owner(), (std::vector<std::string>{"job_results", "job_update Complete"}));
  EXPECT_FALSE(engine_has(cntr_id));
  EXPECT_EQ(Store<Landings>("landings.bin", [] { return Landings(); })
                .snapshot()
                .begin()
                ->second->status(),
            "Complete");
}

// A landing that cannot return its results is logged and not tried again; its container stays.
// The pass goes on with the next container, and leaves alone one that no landing watches.
TEST_F(Reattach, ExitedContainerWhoseResultsCannotBeSentIsSkippedForGood) {
  const auto folder = job_folder(job::kQuickJob);
  const auto unwatched = make_lander(folder.path(), std::nullopt, false);
  const auto first = make_lander(folder.path(), std::nullopt, false);
  const auto second = make_lander(folder.path(), std::nullopt, false);
  for (const auto& lander : {unwatched, first, second}) {
    lander->run();
    ASSERT_TRUE(eventually([&] { return engine_state(*lander->cntr_id()) == "exited"; }));
  }
  // The one the engine lists first fails, so that the other is handled after the failure.
  const auto listed = boxwright::get_exited_containers();
  const auto position = [&](const std::shared_ptr<Lander>& lander) {
    return std::find_if(listed.begin(), listed.end(),
                        [&](const auto& cntr) { return cntr.id == *lander->cntr_id(); });
  };
  const auto& [failing, returned] =
      position(first) < position(second) ? std::pair(first, second) : std::pair(second, first);
  const std::string cntr_id = *failing->cntr_id();
  lay_down_node_identity();
  const auto node = make_node();
  // Bound to no client, it cannot send.
  node->running_landers().put(cntr_id, stored_landing("unbound", job::status::kRunning, cntr_id));
  node->running_landers().put(*returned->cntr_id(), returned);
  sent_to_owner();

  node->handle_exited_containers();
  EXPECT_EQ(node->running_landers().size(), 0u);
  EXPECT_TRUE(engine_has(cntr_id));
  EXPECT_EQ(returned->status(), job::status::kComplete);
  EXPECT_FALSE(engine_has(*returned->cntr_id()));
  EXPECT_EQ(sent_to_owner(), (std::vector<std::string>{"job_results", "job_update Complete"}));
  EXPECT_TRUE(engine_has(*unwatched->cntr_id()));
  std::vector<utils::log::LogRecord> warnings;
  for (const auto& record : log_.records())
    if (record.level >= utils::log::kWarning) warnings.push_back(record);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].message,
            "skipping container '" + engine_.inspect_container(cntr_id)["Name"]
                                         .get<std::string>()
                                         .substr(1) + "'");
  EXPECT_EQ(warnings[0].level, utils::log::kError);
}

// Whatever a control made its status, a landing not finished whose container is gone is dropped;
// a finished one stays as history.
// Each landing as a run killed at some step of its way leaves it, with what that run left in the
// temporary folder and on the engine.
TEST_F(Reattach, EveryLandingLeftOnItsWayIsTakenUp) {
  namespace fs = std::filesystem;
  namespace status = job::status;
  const auto job = job_folder(job::kLongJob);
  // Another node's landing of the same job on the same engine: its container, made of the same
  // image and never started, is not this node's to remove.
  const auto built = make_lander(job.path(), std::nullopt, false);
  built->build();
  const std::string img = *built->img_id();
  const auto container = [&](int steps, const utils::Value& labels = utils::Value::object()) {
    // steps: 0 created, 1 running, 2 paused, 3 exited
    const std::string id =
        janitor_.container(engine_.create_container({{"Image", img}, {"Labels", labels}}));
    if (steps >= 1) engine_.start_container(id);
    if (steps == 2) engine_.pause_container(id);
    if (steps == 3) engine_.stop_container(id);
    return id;
  };
  const fs::path temp = node_temp_dir();
  fs::create_directories(temp);
  std::ofstream(temp / ".node");  // the marker an earlier run made
  const auto job_dir = [&](const std::string& name) {
    fs::copy(job.path(), temp / name, fs::copy_options::recursive);
    return temp / name;
  };
  std::ofstream(temp / "velmora-context-x.tar") << "a build context";
  fs::create_directories(temp / "velmora-results-y" / "filesys");
  const fs::path elsewhere = folder_.path() / "elsewhere";
  fs::create_directories(elsewhere);

  const std::string run = job::Job::_make_id().substr(0, 8);
  const auto landing = [&](const std::string& kind, std::string_view last, fs::path path,
                           std::optional<std::string> img_id,
                           std::optional<std::string> cntr_id) {
    auto lander = std::make_shared<Lander>(std::move(path), "sim", networking::kDeviceId, kNodeId,
                                           nullptr, kind + "-" + run, false);
    lander->set_status(last);
    if (img_id) lander->set_img({*img_id});
    if (cntr_id) lander->set_cntr({*cntr_id, "quirky_name"});
    return lander;
  };
  const std::string started_unrecorded = container(1);
  const std::string paused = container(2);
  const std::string stopped = container(3);
  const std::string left_by_complete = container(3);
  const std::string created = container(0);
  // What a run killed between the creation of a container and the store write left, and a
  // bystander's container of that image, made without labels, as a node made them before it
  // labelled its own.
  const std::string left_by_creating =
      container(0, job::container_labels(kNodeId, "creating-" + run));
  const std::string bystander = container(0);
  store({landing("waiting", status::kReceived, job_dir("velmora-attachment-a"), {}, {}),
         landing("building", status::kBuildingImage, job_dir("velmora-attachment-b"), {}, {}),
         landing("creating", status::kBuildingContainer, job_dir("velmora-attachment-c"), img, {}),
         landing("folder-gone", status::kBuildingImage, temp / "velmora-attachment-d", {}, {}),
         landing("old-folder", status::kBuildingContainer, elsewhere, img, {}),
         landing("created", status::kBuildingContainer, temp / "gone", img, created),
         landing("started", status::kBuildingContainer, "sim", img, started_unrecorded),
         landing("paused", status::kPaused, "sim", img, paused),
         landing("stopping", status::kStopping, "sim", img, stopped),
         landing("complete", status::kComplete, "sim", img, left_by_complete)});
  lay_down_node_identity();
  sent_to_owner();

  const auto node = make_node();
  EXPECT_EQ(stored_ids(*node),
            (std::vector<std::string>{"waiting-" + run, "building-" + run, "creating-" + run,
                                      "created-" + run, "started-" + run, "paused-" + run,
                                      "stopping-" + run, "complete-" + run}));
  EXPECT_EQ(sent_to_owner(), (std::vector<std::string>{"job_update Building Image Failed",
                                                       "job_update Building Container Failed",
                                                       "job_update Running"}));
  EXPECT_EQ(node->running_landers().size(), 3u);
  for (const std::string& id : {started_unrecorded, paused, stopped})
    EXPECT_NE(node->running_landers().find(id), nullptr) << id;
  EXPECT_FALSE(engine_has(left_by_creating)) << "made after the last store write";
  EXPECT_EQ(engine_state(bystander), "created");
  EXPECT_EQ(engine_state(*built->cntr_id()), "created") << "another node's";
  EXPECT_FALSE(engine_has(left_by_complete));
  EXPECT_TRUE(engine_has(created));
  EXPECT_EQ(node_temp_names(), (std::vector<std::string>{"velmora-attachment-a",
                                                         "velmora-attachment-b",
                                                         "velmora-attachment-c"}));
  EXPECT_TRUE(fs::exists(elsewhere)) << "a folder the node did not receive is not its to remove";

  // The resumed ones are built or started once the threads start.
  node->start_threads();
  ASSERT_TRUE(node->wait_for_handlers(testing::kUnderLoad));
  node->kill_threads();
  for (const auto& [job_id, lander] : node->landings().snapshot()) {
    if (const auto id = lander->cntr_id()) janitor_.container(*id);
    const bool resumed = job_id.starts_with("waiting") || job_id.starts_with("building") ||
                         job_id.starts_with("creating") || job_id.starts_with("created");
    if (resumed) {
      EXPECT_EQ(lander->status(), status::kRunning) << job_id;
    }
  }
  const auto reports = sent_to_owner();
  EXPECT_EQ(std::count(reports.begin(), reports.end(), "job_update Running"), 4);
  EXPECT_EQ(std::count(reports.begin(), reports.end(), "job_update Building Image"), 3);
  EXPECT_EQ(engine_state(created), "running");
  EXPECT_TRUE(node_temp_names().empty());
}

TEST_F(Reattach, LandingWhoseContainerIsGoneIsReportedAndDropped) {
  store({stored_landing("gone", job::status::kRunning, kGone),
         stored_landing("never-built", job::status::kRunning, std::nullopt),
         stored_landing("paused", job::status::kPaused, kGone),
         stored_landing("complete", job::status::kComplete, kGone)});
  lay_down_node_identity();

  auto node = make_node();
  EXPECT_EQ(stored_ids(*node), (std::vector<std::string>{"complete"}));
  EXPECT_EQ(node->running_landers().size(), 0u);
  const auto log = model_log();
  for (const std::string& id : {kGone, std::string("None")})
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "Could not find container id " + id + "; removing associated landing"),
              log.end())
        << id;
  EXPECT_EQ(sent_to_owner(), std::vector<std::string>(3, "job_update Container Removed"));
  node.reset();
  const auto reread = make_node();
  EXPECT_EQ(stored_ids(*reread), (std::vector<std::string>{"complete"}));
}

// The owner cannot be told (the backend does not know this node's key): dropped all the same.
TEST_F(Reattach, LandingIsDroppedAlsoWhenTheReportFails) {
  store({stored_landing("gone", job::status::kRunning, kGone)});
  const auto node = make_node();
  EXPECT_TRUE(stored_ids(*node).empty());
  EXPECT_TRUE(sent_to_owner().empty());
}

// Without an answering engine nothing can be looked up: the landing stays, unwatched, unreported.
TEST_F(Reattach, EngineThatDoesNotAnswerLeavesRunningLandingsStored) {
  store({stored_landing("running", job::status::kRunning, kGone)});
  lay_down_node_identity();
  std::unique_ptr<Velmora> node;
  {
    const testing::EnvironmentSetting no_engine("DOCKER_HOST", "unix:///nonexistent/docker.sock");
    node = make_node();
  }
  EXPECT_EQ(stored_ids(*node), std::vector<std::string>{"running"});
  EXPECT_EQ(node->running_landers().size(), 0u);
  EXPECT_TRUE(sent_to_owner().empty());
}

// An engine that answers the probe but cannot list its containers: kept as well.
TEST_F(Reattach, EngineThatCannotListItsContainersLeavesTheLandingsStored) {
  store({stored_landing("running", job::status::kRunning, kGone)});
  lay_down_node_identity();
  std::unique_ptr<Velmora> node;
  {
    testing::FakeEngine engine;
    engine.answer("GET", "/_ping", 200, "OK", "text/plain");
    engine.answer("GET", "/containers/json", 500, R"({"message":"engine trouble"})");
    engine.serve();
    node = make_node();
  }
  EXPECT_TRUE(node->docker_is_running());
  EXPECT_EQ(stored_ids(*node), std::vector<std::string>{"running"});
  EXPECT_EQ(node->running_landers().size(), 0u);
  EXPECT_TRUE(sent_to_owner().empty());
  const auto records = log_.records();
  const auto line = std::find_if(records.begin(), records.end(), [](const auto& record) {
    return record.message.starts_with("Could not list");
  });
  ASSERT_NE(line, records.end());
  EXPECT_EQ(line->message,
            "Could not list the engine's containers; keeping every landing, unwatched");
  EXPECT_EQ(line->level, utils::log::kInfo);
  EXPECT_NE(line->error_text.find("engine trouble"), std::string::npos);
}

}  // namespace
}  // namespace velmora::model
