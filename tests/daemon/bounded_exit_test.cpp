// The bounded exit: work waited for until a deadline and left running past it, and a node wound
// down with a handler still at work.
#include "velmora/daemon/shutdown/bounded_exit.hpp"

#include <gtest/gtest.h>

#include <future>

#include "testing/eventually.hpp"
#include "tests/model/job_road_fixture.hpp"
#include "velmora/daemon/shutdown/deadline_thread.hpp"
#include "velmora/job/launcher.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::daemon {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(DeadlineThread, TellsWhetherItsWorkEndedByTheDeadline) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  DeadlineThread work([released] { released.wait(); });
  EXPECT_FALSE(work.ended_by(Clock::now() + 20ms));
  release.set_value();
  EXPECT_TRUE(work.ended_by(Clock::now() + testing::kUnderLoad));
  EXPECT_TRUE(work.ended_by(Clock::now()));  // once ended, at any later time
}

class BoundedExit : public model::JobRoadFixture {
 protected:
  utils::log::LogCapture daemon_log_{"velmora.daemon"};
};

TEST_F(BoundedExit, ANodeAtRestWindsDownAtOnceWithoutAStatusReport) {
  node_->start_threads();
  EXPECT_TRUE(wind_down(*node_, Clock::now() + testing::kUnderLoad));
  EXPECT_EQ(node_->update_threads().state(), model::UpdateThreads::State::killed);
  EXPECT_EQ(status_reports(), std::vector<std::string>{"ONLINE"});
  EXPECT_TRUE(daemon_log_.records().empty());
}

// A handler busy past the deadline is left running: the node must then outlive the process.
TEST_F(BoundedExit, AHandlerStillAtWorkIsLeftRunning) {
  job::Launcher(job_folder_named("held", job::kQuickJob), "held", networking::kDeviceId,
                model::kNodeId, launch_node_)
      .send();
  // The landing's first report, "Received", is held: its handler waits for the backend.
  backend_.server().hold("/transfer/sendfilereq");
  node_->start_threads();
  ASSERT_TRUE(testing::eventually([&] {
    return backend_.server().calls("/transfer/sendfilereq") == 2 &&
           node_->handlers().running() == 1;
  }));

  // The polls are ended first, so that only the handler can outlast the short deadline: a pass
  // under way on a loaded machine would too.
  node_->end_threads();
  EXPECT_FALSE(wind_down(*node_, Clock::now() + 50ms));
  EXPECT_EQ(node_->update_threads().state(), model::UpdateThreads::State::killed);
  EXPECT_EQ(node_->handlers().running(), 1u);
  EXPECT_EQ(daemon_log_.messages(),
            std::vector<std::string>{"WARNING:velmora.daemon:1 package handlers and builds still "
                                     "at work at exit are cut off: their jobs are left to the "
                                     "next start"});

  backend_.server().release("/transfer/sendfilereq");
  EXPECT_TRUE(wind_down(*node_, Clock::now() + testing::kUnderLoad));
  EXPECT_EQ(status_reports(), std::vector<std::string>{"ONLINE"});
}

}  // namespace
}  // namespace velmora::daemon
