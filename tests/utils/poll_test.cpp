#include "velmora/utils/runtime/poll.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <limits>
#include <set>
#include <vector>

#include "testing/eventually.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::utils {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::eventually;

// Seconds since some start, as a double.
double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(Poll, FirstPassComesOneIntervalAfterStartThenOncePerInterval) {
  std::mutex mutex;
  std::vector<double> times;
  const auto start = Clock::now();
  Poll poll(
      [&] {
        std::lock_guard lock(mutex);
        times.push_back(seconds_since(start));
      },
      0.05);
  std::this_thread::sleep_for(100ms);
  {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(times.empty()) << "a poll that was not started ran";
  }
  const auto started = Clock::now();
  poll.start();
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(mutex);
    return times.size() >= 4;
  }));
  poll.kill();
  poll.join();
  const double begun = std::chrono::duration<double>(started - start).count();
  std::lock_guard lock(mutex);
  EXPECT_GE(times[0] - begun, 0.05);
  for (std::size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], 0.05);
}

TEST(Poll, IntervalThatIsNotPositiveIsRefused) {
  for (double interval : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(interval);
    EXPECT_THROW(Poll([] {}, interval), ValueError);
  }
  try {
    Poll::check_interval(0, "file_query_interval");
    ADD_FAILURE() << "no error";
  } catch (const ValueError& e) {
    EXPECT_EQ(std::string(e.what()),
              "file_query_interval must be a positive number of seconds up to 1e9, got 0");
  }
  EXPECT_NO_THROW(Poll([] {}, 0.001));
}

TEST(Poll, FailingPassIsLoggedOncePerTextAndThePollGoesOn) {
  log::LogCapture capture("velmora.utils");
  std::atomic<int> passes{0};
  Poll poll(
      [&] {
        const int pass = ++passes;
        if (pass <= 20) throw RuntimeError(pass == 10 ? "engine gone" : "backend unreachable");
      },
      0.001);
  poll.start();
  ASSERT_TRUE(eventually([&] { return passes >= 22; }));
  poll.kill();
  poll.join();
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, log::kError);
  EXPECT_EQ(records[0].logger, "velmora.utils");
  EXPECT_EQ(records[0].error_text, "velmora::utils::RuntimeError: backend unreachable");
  EXPECT_EQ(records[1].error_text, "velmora::utils::RuntimeError: engine gone");
}

TEST(RepeatLimiter, LetsATextThroughAgainOnlyOnceTheWindowHasPassed) {
  RepeatLimiter limiter(std::chrono::minutes(1));
  const Clock::time_point t0{};
  EXPECT_TRUE(limiter.admit("backend unreachable", t0));
  EXPECT_FALSE(limiter.admit("backend unreachable", t0 + 1s));
  EXPECT_TRUE(limiter.admit("engine gone", t0 + 2s));
  EXPECT_FALSE(limiter.admit("backend unreachable", t0 + 59s));
  EXPECT_TRUE(limiter.admit("backend unreachable", t0 + 60s));
  EXPECT_FALSE(limiter.admit("engine gone", t0 + 61s));
  EXPECT_TRUE(limiter.admit("engine gone", t0 + 62s));
  EXPECT_FALSE(limiter.admit("backend unreachable", t0 + 119s));
}

// Whether action ends within a minute: long before an hour-long interval could, however loaded
// the machine.
template <class Action>
bool ends_before_the_interval(Action action) {
  auto done = std::async(std::launch::async, action);
  return done.wait_for(testing::kUnderLoad) == std::future_status::ready;
}

TEST(Poll, KillWakesAWaitingPollAtOnce) {
  Poll poll([] {}, 3600);
  poll.start();
  EXPECT_TRUE(ends_before_the_interval([&] {
    poll.kill();
    poll.join();
  }));
}

TEST(Poll, KillLetsARunningPassEnd) {
  std::promise<void> entered, release;
  auto released = release.get_future().share();
  std::atomic<bool> finished{false};
  std::atomic<int> passes{0};
  Poll poll(
      [&] {
        if (++passes > 1) return;
        entered.set_value();
        released.wait();
        finished = true;
      },
      0.001);
  poll.start();
  entered.get_future().wait();
  poll.kill();
  auto joined = std::async(std::launch::async, [&] { poll.join(); });
  EXPECT_EQ(joined.wait_for(50ms), std::future_status::timeout);
  release.set_value();
  joined.wait();
  EXPECT_TRUE(finished);
  EXPECT_EQ(passes, 1);
}

TEST(Poll, NeverStartedPollJoinsAtOnceAndCannotBeStartedAfterKill) {
  std::atomic<int> passes{0};
  Poll poll([&] { ++passes; }, 0.001);
  poll.join();
  poll.pause();
  poll.unpause();
  poll.kill();
  poll.start();
  poll.join();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(passes, 0);
}

// A later thread may be given the id of the poll's ended thread: it is no pass of the poll.
TEST(Poll, AJoinedPollMayBeJoinedAgainFromAnyThread) {
  Poll poll([] {}, 0.001);
  poll.start();
  poll.kill();
  poll.join();
  for (int n = 0; n < 20; ++n) std::thread([&] { EXPECT_NO_THROW(poll.join()); }).join();
}

TEST(Poll, SecondStartRunsNoSecondThread) {
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::atomic<int> passes{0};
  Poll poll(
      [&] {
        std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
        ++passes;
      },
      0.001);
  poll.start();
  poll.start();
  ASSERT_TRUE(eventually([&] { return passes >= 10; }));
  poll.kill();
  poll.join();
  EXPECT_EQ(threads.size(), 1u);
}

TEST(Poll, PauseWaitsForThePassUnderWayAndHoldsUntilUnpause) {
  std::atomic<int> passes{0};
  std::atomic<bool> in_pass{false};
  Poll poll(
      [&] {
        in_pass = true;
        std::this_thread::sleep_for(30ms);
        ++passes;
        in_pass = false;
      },
      0.001);
  poll.start();
  ASSERT_TRUE(eventually([&] { return in_pass.load(); }));
  poll.pause();
  EXPECT_FALSE(in_pass);
  const int paused_at = passes;
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(passes, paused_at);
  poll.unpause();
  ASSERT_TRUE(eventually([&] { return passes > paused_at; }));
  poll.kill();
  poll.join();
}

TEST(Poll, PauseFromInsideAPassReturnsAtOnce) {
  std::atomic<int> passes{0};
  Poll* self = nullptr;
  Poll poll(
      [&] {
        ++passes;
        self->pause();
      },
      0.001);
  self = &poll;
  poll.start();
  ASSERT_TRUE(eventually([&] { return passes == 1; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(passes, 1);
  poll.unpause();
  ASSERT_TRUE(eventually([&] { return passes == 2; }));
  poll.kill();
  poll.join();
}

TEST(Poll, JoinFromItsOwnThreadIsRefused) {
  std::promise<std::string> refused;
  Poll* self = nullptr;
  Poll poll(
      [&] {
        self->kill();
        try {
          self->join();
          refused.set_value("");
        } catch (const RuntimeError& e) {
          refused.set_value(e.what());
        }
      },
      0.001);
  self = &poll;
  poll.start();
  EXPECT_EQ(refused.get_future().get(), "a poll cannot join its own thread");
  poll.join();
}

TEST(Poll, ControlsFromManyThreadsAtOnce) {
  std::atomic<int> passes{0};
  Poll poll([&] { ++passes; }, 0.001);
  poll.start();
  std::vector<std::thread> controllers;
  for (int t = 0; t < 4; ++t) {
    controllers.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        poll.pause();
        poll.unpause();
      }
    });
  }
  for (auto& controller : controllers) controller.join();
  ASSERT_TRUE(eventually([&] { return passes > 0; }));

  std::vector<std::thread> joiners;
  for (int t = 0; t < 3; ++t) joiners.emplace_back([&] { poll.join(); });
  std::thread killer([&] { poll.kill(); });
  killer.join();
  for (auto& joiner : joiners) joiner.join();
  const int after = passes;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(passes, after);
}

TEST(Poll, DestroyingARunningPollEndsIt) {
  std::atomic<int> passes{0};
  EXPECT_TRUE(ends_before_the_interval([&] {
    Poll poll([&] { ++passes; }, 3600);
    poll.start();
  }));
  EXPECT_EQ(passes, 0);
}

}  // namespace
}  // namespace velmora::utils
