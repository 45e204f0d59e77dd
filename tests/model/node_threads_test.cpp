// The node's update threads against the fake backend: which polls it has, what each calls, and
// the status reports of the thread operations.
#include <gtest/gtest.h>

#include "node_fixture.hpp"
#include "testing/environment_setting.hpp"
#include "testing/eventually.hpp"

namespace velmora::model {
namespace {

using testing::eventually;
using State = UpdateThreads::State;

using NodeThreads = NodeFixture;

TEST_F(NodeThreads, WithAnAnsweringEngineTheContainerQueryPollComesSecond) {
  lay_down_node_identity();
  const auto node = make_node();
  ASSERT_TRUE(node->docker_is_running()) << "these tests need the engine at DOCKER_HOST";
  EXPECT_EQ(node->update_threads().names(),
            (std::vector<std::string>{"file-query", "container-query", "device-list",
                                      "keepalive"}));
  EXPECT_FALSE(node->threads_started());
  EXPECT_EQ(node->update_threads().state(), State::made);
  EXPECT_EQ(node->keepalive_interval(), 30);
  EXPECT_TRUE(status_reports().empty());
}

TEST_F(NodeThreads, WithoutAnEngineThereIsNoContainerQueryPollForTheNodesLife) {
  lay_down_node_identity();
  std::unique_ptr<Velmora> node;
  {
    const testing::EnvironmentSetting no_engine("DOCKER_HOST", "unix:///nonexistent/docker.sock");
    node = make_node();
  }
  EXPECT_FALSE(node->docker_is_running());
  EXPECT_EQ(node->update_threads().names(),
            (std::vector<std::string>{"file-query", "device-list", "keepalive"}));
  const auto log = model_log();
  EXPECT_EQ(std::find(log.begin(), log.end(), "Docker is running!"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "No container engine answered at DOCKER_HOST unix:///nonexistent/docker.sock: "
                      "friends' jobs will be rejected; restart velmorad once the engine runs"),
            log.end());
}

// Started, the polls ask for packages and the device list and repeat the online report.
TEST_F(NodeThreads, StartedPollsCallTheBackendAndASecondStartOnlyWarns) {
  lay_down_node_identity();
  const auto node = make_node(settings(), 1);
  node->start_threads();
  EXPECT_TRUE(node->threads_started());
  EXPECT_EQ(status_reports(), std::vector<std::string>{"ONLINE"});
  EXPECT_TRUE(eventually([&] {
    return status_reports().size() >= 2 && !requests_to("/list/users").empty() &&
           !requests_to("/transfer/receivefilereq").empty();
  }));

  const std::size_t reports = status_reports().size();
  node->start_threads();
  const auto log = log_.messages();
  EXPECT_EQ(std::count(log.begin(), log.end(), "INFO:velmora.model:starting threads"), 2);
  EXPECT_EQ(log.back(), "WARNING:velmora.model:Redundant thread start");
  node->kill_threads();
  EXPECT_EQ(status_reports().size(), reports + 1);  // OFFLINE, the keepalive ended
  EXPECT_EQ(status_reports().back(), "OFFLINE");
  EXPECT_EQ(node->update_threads().state(), State::killed);

  node->start_threads();
  EXPECT_EQ(status_reports().size(), reports + 1);
  EXPECT_EQ(log_.messages().back(), "WARNING:velmora.model:Redundant thread start");
}

TEST_F(NodeThreads, PauseAndUnpauseReportAlsoWhenNeverStarted) {
  lay_down_node_identity();
  const auto node = make_node();
  node->pause_threads();
  node->unpause_threads();
  EXPECT_EQ(status_reports(), (std::vector<std::string>{"OFFLINE", "ONLINE"}));
  EXPECT_FALSE(node->threads_started());
}

}  // namespace
}  // namespace velmora::model
