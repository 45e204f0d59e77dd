// The update threads on their own: polls of the test's functions, status reports recorded.
#include "velmora/model/update_threads.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>

#include "testing/eventually.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::model {
namespace {

using namespace std::chrono_literals;
using device::DeviceStatus;
using State = UpdateThreads::State;
using testing::eventually;

// A pass that blocks its first call until released.
struct BlockingPass {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> passes{0};

  std::function<void()> fn() {
    return [this] {
      if (++passes > 1) return;
      entered.set_value();
      released.wait();
    };
  }
};

class UpdateThreadsTest : public ::testing::Test {
 protected:
  // Threads of these tasks whose reports go to reports().
  std::unique_ptr<UpdateThreads> make(std::vector<UpdateThreads::Task> tasks) {
    return std::make_unique<UpdateThreads>(std::move(tasks), [this](DeviceStatus status) {
      std::lock_guard lock(mutex_);
      reports_.push_back(status);
    });
  }
  std::vector<DeviceStatus> reports() const {
    std::lock_guard lock(mutex_);
    return reports_;
  }
  // A task counting its passes in counter.
  static UpdateThreads::Task counting(const std::string& name, std::atomic<int>& counter) {
    return {name, [&counter] { ++counter; }, 0.001};
  }

  utils::log::LogCapture log_{"velmora.model"};
  mutable std::mutex mutex_;
  std::vector<DeviceStatus> reports_;
};

TEST_F(UpdateThreadsTest, MadeThreadsRunNothingAndReportNothing) {
  std::atomic<int> passes{0};
  const auto threads = make({counting("a", passes), counting("b", passes)});
  EXPECT_EQ(threads->names(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(threads->state(), State::made);
  EXPECT_FALSE(threads->started());
  EXPECT_TRUE(reports().empty());
  EXPECT_EQ(log_.messages(), std::vector<std::string>{"INFO:velmora.model:creating threads"});
}

TEST_F(UpdateThreadsTest, SecondStartOnlyWarnsAndSoDoesAStartAfterKill) {
  std::atomic<int> passes{0};
  const auto threads = make({counting("a", passes)});
  threads->start();
  ASSERT_TRUE(eventually([&] { return passes > 0; }));
  threads->start();
  EXPECT_EQ(reports(), std::vector<DeviceStatus>{DeviceStatus::ONLINE});
  threads->kill();
  threads->start();
  EXPECT_EQ(reports(), (std::vector<DeviceStatus>{DeviceStatus::ONLINE, DeviceStatus::OFFLINE}));
  EXPECT_EQ(threads->state(), State::killed);
  EXPECT_EQ(log_.messages(),
            (std::vector<std::string>{
                "INFO:velmora.model:creating threads", "INFO:velmora.model:starting threads",
                "INFO:velmora.model:starting threads", "WARNING:velmora.model:Redundant thread start",
                "INFO:velmora.model:killing threads", "INFO:velmora.model:starting threads",
                "WARNING:velmora.model:Redundant thread start"}));
}

// Killed before any start, the threads never run: a start only warns, reports nothing.
TEST_F(UpdateThreadsTest, KillBeforeStartEndsThemForGood) {
  std::atomic<int> passes{0};
  const auto threads = make({counting("a", passes)});
  threads->kill();
  threads->start();
  EXPECT_FALSE(threads->started());
  EXPECT_EQ(reports(), std::vector<DeviceStatus>{DeviceStatus::OFFLINE});
}

// The end at process exit: the polls end for good as with kill, with no log line and no report.
TEST_F(UpdateThreadsTest, EndStopsThePollsForGoodWithoutAReport) {
  std::atomic<int> passes{0};
  const auto threads = make({counting("a", passes)});
  threads->start();
  ASSERT_TRUE(eventually([&] { return passes > 0; }));
  threads->end();
  const int ended_at = passes.load();
  threads->start();
  EXPECT_EQ(threads->state(), State::killed);
  EXPECT_EQ(passes.load(), ended_at);
  EXPECT_EQ(reports(), std::vector<DeviceStatus>{DeviceStatus::ONLINE});
  EXPECT_EQ(log_.messages().back(), "WARNING:velmora.model:Redundant thread start");
}

TEST_F(UpdateThreadsTest, PauseAndUnpauseReportTheirStatusInAnyState) {
  std::atomic<int> passes{0};
  const auto threads = make({counting("a", passes)});
  threads->pause();
  EXPECT_EQ(threads->state(), State::paused);
  threads->unpause();
  EXPECT_EQ(threads->state(), State::made);
  threads->unpause();
  EXPECT_EQ(reports(), (std::vector<DeviceStatus>{DeviceStatus::OFFLINE, DeviceStatus::ONLINE,
                                                  DeviceStatus::ONLINE}));
  EXPECT_EQ(passes, 0);

  threads->start();
  threads->pause();
  const int paused_at = passes;
  EXPECT_EQ(threads->state(), State::paused);
  threads->unpause();
  EXPECT_EQ(threads->state(), State::running);
  EXPECT_TRUE(eventually([&] { return passes > paused_at; }));
}

// Every poll is told to stop before the first is waited for; OFFLINE comes after the last.
TEST_F(UpdateThreadsTest, KillStopsEveryPollBeforeWaitingAndReportsOfflineLast) {
  BlockingPass first;
  BlockingPass second;
  const auto threads = make({{"first", first.fn(), 0.001}, {"second", second.fn(), 0.001}});
  threads->start();
  first.entered.get_future().wait();
  second.entered.get_future().wait();

  auto killed = std::async(std::launch::async, [&] { threads->kill(); });
  ASSERT_TRUE(eventually([&] { return threads->state() == State::killed; }));
  // While kill waits for the first poll, the second, once its pass ends, never passes again.
  second.release.set_value();
  EXPECT_FALSE(eventually([&] { return second.passes > 1; }, 300ms));
  EXPECT_EQ(killed.wait_for(0s), std::future_status::timeout);
  EXPECT_EQ(reports(), std::vector<DeviceStatus>{DeviceStatus::ONLINE});

  first.release.set_value();
  killed.get();
  EXPECT_EQ(reports(), (std::vector<DeviceStatus>{DeviceStatus::ONLINE, DeviceStatus::OFFLINE}));
  EXPECT_EQ(first.passes, 1);
  EXPECT_EQ(second.passes, 1);
}

TEST_F(UpdateThreadsTest, WhilePausedLeavesThePollsPausedWhenItsWorkFails) {
  std::atomic<int> passes{0};
  const auto threads = make({counting("a", passes)});
  threads->start();
  threads->while_paused([&] { EXPECT_EQ(threads->state(), State::paused); });
  EXPECT_EQ(threads->state(), State::running);

  EXPECT_THROW(threads->while_paused([] { throw utils::OSError(ENOENT, "friends.bin"); }),
               utils::OSError);
  EXPECT_EQ(threads->state(), State::paused);
  EXPECT_EQ(reports(), (std::vector<DeviceStatus>{DeviceStatus::ONLINE, DeviceStatus::OFFLINE,
                                                  DeviceStatus::ONLINE, DeviceStatus::OFFLINE}));
}

TEST_F(UpdateThreadsTest, FailedReportComesAfterTheChange) {
  std::atomic<int> passes{0};
  UpdateThreads threads({counting("a", passes)},
                        [](DeviceStatus) { throw utils::RuntimeError("backend refused"); });
  EXPECT_THROW(threads.start(), utils::RuntimeError);
  EXPECT_TRUE(threads.started());
  EXPECT_TRUE(eventually([&] { return passes > 0; }));
}

}  // namespace
}  // namespace velmora::model
