// The job controls through the local API against the Docker engine of the environment, between two
// nodes: the logged-in node behind the API and bob's, a node_harness process on the same fake
// backend, each with its polls running. The API node's launches run on bob's node, and bob's
// launches land on the API node.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "logged_in_api.hpp"
#include "testing/eventually.hpp"
#include "testing/file_tree.hpp"
#include "testing/harnessed_node.hpp"
#include "testing/job_folder.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/text/hex.hpp"

namespace velmora::daemon {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using utils::Value;
using Statuses = std::vector<std::string>;

std::string last(const Statuses& statuses) { return statuses.empty() ? "" : statuses.back(); }

std::string joined(const Statuses& statuses) {
  std::string text;
  for (const std::string& status : statuses) text += "\"" + status + "\" ";
  return text;
}

bool holds(const Statuses& statuses, const std::string& status) {
  return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
}

Statuses statuses_of(const Value& record) {
  Statuses found;
  for (const Value& entry : record.at("status_history")) found.push_back(entry.at(0));
  return found;
}

class JobControls : public LoggedInApi {
 protected:
  void SetUp() override {
    make_node_with([this](const std::string& refresh_token, const model::NodeSettings& settings) {
      model::NodeSettings quick = settings;
      quick.container_query_interval = 1;
      return node_constructor({idp_->domain(), kAudience})(refresh_token, quick);
    });
    LoggedInApi::SetUp();
    bob_ = std::make_unique<testing::HarnessedNode>(
        NODE_HARNESS_PATH,
        std::vector<std::string>{"--refresh-token", kOtherRefreshToken, "--backend",
                                 backend_.url(), "--file-query", "1", "--container-query", "1",
                                 "--keepalive", "600"},
        folder_.path() / "bob", folder_.path() / "bob-tmp",
        std::map<std::string, std::string>{{"VELMORA_IDP_DOMAIN", idp_->domain()},
                                           {"no_proxy", "127.0.0.1,localhost"},
                                           {"NO_PROXY", "127.0.0.1,localhost"}});
    bob_->ask("register");
    bob_->ask("start_threads");
    answer("/register");
    answer("/startThreads");
  }

  // The images and containers of bob's landings go at the end (the API node's are handed to the
  // janitor as the tests meet them).
  void TearDown() override {
    if (!bob_) return;
    for (const Value& id : bob_->ask("landings")) {
      const Value landing = bob_->ask("landing " + id.get<std::string>());
      if (landing.at("cntr_id").is_string()) janitor_.container(landing.at("cntr_id"));
      if (landing.at("img_id").is_string()) janitor_.image(landing.at("img_id"));
    }
  }

  std::string job_body(const std::string& job_id) { return Value{{"job_id", job_id}}.dump(); }

  // The statuses of the API node's launch (landing) of that id, as its history lists them.
  Statuses launch_statuses(const std::string& job_id) { return statuses_in("/getMyJobHistory", job_id); }
  Statuses landing_statuses(const std::string& job_id) {
    return statuses_in("/getMyWorkHistory", job_id);
  }
  Statuses bob_launch_statuses(const std::string& job_id) {
    const auto record = bob_->try_ask("launch " + job_id);
    return record ? statuses_of(*record) : Statuses{};
  }

  // bob's job of steps, landed on the API node and running there; its id. The API node's
  // landing's container and image go at the end.
  // bob's job of steps, sent to the API node, which counts bob among its friends; its id.
  std::string sent_by_bob(std::string_view steps) {
    node().friends().with(
        [&](model::DeviceIds& friends) { friends.insert(utils::s2b(bob_->id())); });
    node().friends().dump();
    return bob_->ask("send " + utils::hex_digits(model::kNodeId) + " " +
                     travelling_job("from-bob", steps).string());
  }

  // bob's job of steps, landed on the API node and running there; its id. The landing's
  // container and image go at the end.
  std::string landed_from_bob(std::string_view steps) {
    const std::string job_id = sent_by_bob(steps);
    EXPECT_TRUE(eventually([&] { return last(landing_statuses(job_id)) == "Running"; }))
        << joined(landing_statuses(job_id));
    if (const auto landing = landing_record(job_id)) {
      if (const auto id = landing->cntr_id()) janitor_.container(*id);
      if (const auto id = landing->img_id()) janitor_.image(*id);
    }
    return job_id;
  }

  std::shared_ptr<job::Lander> landing_record(const std::string& job_id) {
    return node().landings().with([&](const job::Landings& landings) {
      const auto found = landings.find(job_id);
      return found == landings.end() ? nullptr : found->second;
    });
  }
  std::string container_of_landing(const std::string& job_id) {
    const auto landing = landing_record(job_id);
    return landing ? landing->cntr_id().value_or("") : "";
  }

  // A job folder named name that keeps its busybox executable when it travels in a package;
  // its image shares no layer with another test's.
  std::filesystem::path travelling_job(const std::string& name, std::string_view steps) {
    return testing::write_busybox_tar_job(jobs_.emplace_back().path() / name,
                                          "velmora.test=" + job::Job::_make_id(), steps);
  }

  std::unique_ptr<testing::HarnessedNode> bob_;
  std::vector<testing::ScopedFolder> jobs_;

 private:
  Statuses statuses_in(const std::string& history, const std::string& job_id) {
    const Value records = answer(history).at("job_dict");
    for (const Value& record : records)
      if (record.at("id") == job_id) return statuses_of(record);
    return {};
  }
};

// The API node's launch runs on bob's node; each launch control records its own word at once, and
// bob's report of the container's new state follows. Once stopped, the results come back.
TEST_F(JobControls, TheLaunchControlsReachTheFriendsContainer) {
  bob_->ask("declare_friend " + utils::hex_digits(model::kNodeId));
  const std::filesystem::path job = travelling_job("sleeper", job::kLongJob);
  answer("/sendDockerizedApp", Value{{"dir", job.string()}, {"uuid", bob_->id()}}.dump());
  const std::string job_id = answer("/getMyJobHistory").at("job_dict").at(0).at("id");
  ASSERT_TRUE(eventually([&] { return last(launch_statuses(job_id)) == "Running"; }))
      << joined(launch_statuses(job_id));
  const std::string container = bob_->ask("landing " + job_id).at("cntr_id");
  const auto engine_has_state = [&](const std::string& state) {
    return eventually([&] { return engine_state(container) == state; });
  };

  EXPECT_EQ(call("/pauseLaunch", job_body(job_id))->body, kSuccess);
  EXPECT_TRUE(holds(launch_statuses(job_id), "Pausing"));
  EXPECT_TRUE(engine_has_state("paused"));
  EXPECT_TRUE(eventually([&] { return last(launch_statuses(job_id)) == "Paused"; }));

  EXPECT_EQ(call("/unpauseLaunch", job_body(job_id))->body, kSuccess);
  EXPECT_TRUE(engine_has_state("running"));
  EXPECT_TRUE(eventually([&] { return last(launch_statuses(job_id)) == "Unpaused"; }));
  EXPECT_EQ(call("/startLaunch", job_body(job_id))->body, kSuccess);
  EXPECT_TRUE(eventually([&] { return last(launch_statuses(job_id)) == "Started"; }));

  EXPECT_EQ(call("/stopLaunch", job_body(job_id))->body, kSuccess);
  EXPECT_TRUE(eventually([&] { return last(launch_statuses(job_id)) == "Stopped"; }))
      << joined(launch_statuses(job_id));
  const Statuses history = launch_statuses(job_id);
  EXPECT_EQ(history, (Statuses{"New", "Sent", "Received", "Building Image", "Building Container",
                               "Running", "Pausing", "Paused", "Unpausing", "Unpaused",
                               "Starting", "Started", "Stopping", "Stopping", "Stopped"}));
  const std::string results = "results/sleeper_" + job_id;
  EXPECT_TRUE(eventually([&] {
    return answer("/getMyJobHistory").at("job_dict").at(0).at("results_path") == results;
  }));
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(results) / "output.log"));
}

// bob's job runs on the API node; each landing control has acted on the container when it
// answers, and the landing's status says so at once; bob hears of each.
TEST_F(JobControls, TheLandingControlsActOnTheLocalContainer) {
  const std::string job_id = landed_from_bob(job::kLongJob);
  const std::string container = container_of_landing(job_id);

  EXPECT_EQ(call("/pauseLanding", job_body(job_id))->body, kSuccess);
  EXPECT_EQ(engine_state(container), "paused");
  EXPECT_EQ(last(landing_statuses(job_id)), "Paused");
  EXPECT_EQ(call("/unpauseLanding", job_body(job_id))->body, kSuccess);
  EXPECT_EQ(engine_state(container), "running");
  EXPECT_EQ(last(landing_statuses(job_id)), "Unpaused");
  EXPECT_EQ(call("/startLanding", job_body(job_id))->body, kSuccess);
  EXPECT_EQ(last(landing_statuses(job_id)), "Started");

  EXPECT_EQ(call("/stopLanding", job_body(job_id))->body, kSuccess);
  EXPECT_EQ(engine_state(container), "exited");
  EXPECT_TRUE(holds(landing_statuses(job_id), "Stopping"));
  EXPECT_TRUE(eventually([&] { return last(landing_statuses(job_id)) == "Stopped"; }))
      << joined(landing_statuses(job_id));
  EXPECT_TRUE(eventually([&] { return last(bob_launch_statuses(job_id)) == "Stopped"; }));
  EXPECT_EQ(bob_launch_statuses(job_id),
            (Statuses{"New", "Sent", "Received", "Building Image", "Building Container", "Running",
                      "Paused", "Unpaused", "Started", "Stopping", "Stopped"}));
}

// Clearing the work history forgets the landing but stops nothing: the controls no longer find
// it, and its results still go back when its container exits.
TEST_F(JobControls, AClearedLandingStillReturnsItsResults) {
  const std::string job_id = landed_from_bob(job::kLongJob);
  const std::string container = container_of_landing(job_id);
  EXPECT_EQ(call("/clearMyWorkHistory")->body, kSuccess);
  EXPECT_EQ(answer("/getMyWorkHistory").at("job_dict"), Value::array());
  EXPECT_EQ(failure("/stopLanding", job_body(job_id)), "'" + job_id + "'");

  engine_.stop_container(container);
  EXPECT_TRUE(eventually([&] { return last(bob_launch_statuses(job_id)) == "Complete"; }))
      << joined(bob_launch_statuses(job_id));
  EXPECT_TRUE(eventually([&] { return bob_->ask("launch " + job_id).at("results_path") != "None"; }));
}

// A landing whose image could not be built has no container: a control fails on that and leaves
// the status as it was.
TEST_F(JobControls, ALandingControlWithoutAContainerFailsAndChangesNothing) {
  // An unknown instruction fails the build before any layer is made.
  const std::string job_id = sent_by_bob("NO_SUCH_INSTRUCTION here\n");
  ASSERT_TRUE(eventually(
      [&] { return last(landing_statuses(job_id)) == "Building Image Failed"; }))
      << joined(landing_statuses(job_id));
  EXPECT_EQ(failure("/startLanding", job_body(job_id)),
            "Could not start; container not built for job " + job_id);
  EXPECT_EQ(last(landing_statuses(job_id)), "Building Image Failed");
}

}  // namespace
}  // namespace velmora::daemon
