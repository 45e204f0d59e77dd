// The handler threads: handlers on threads of their own up to the bound, the others waiting in the
// order started, handlers in line one after another, failures contained, finished threads let go,
// and every handler waited for at the end.
#include "velmora/model/packages/handler_threads.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/eventually.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::model {
namespace {

using testing::eventually;

// A handler that waits until the test lets it go.
class Gate {
 public:
  void open() { opened_.set_value(); }
  HandlerThreads::Handler waiter() {
    return [opened = opened_.get_future().share()] { opened.wait(); };
  }

 private:
  std::promise<void> opened_;
};

TEST(HandlerThreads, EachHandlerRunsOnItsOwnThreadAndAFailureEndsOnlyItsOwn) {
  const utils::log::LogCapture log("velmora.model");
  HandlerThreads handlers(8);
  Gate gate;
  std::atomic<bool> later_ran{false};
  handlers.start("'slow' from a", gate.waiter());
  handlers.start("'broken' from b", [] { throw utils::RuntimeError("no luck"); });
  handlers.start("'quick' from c", [&] { later_ran = true; });

  // Neither the waiting handler nor the failed one holds up the third.
  EXPECT_TRUE(eventually([&] { return later_ran.load() && handlers.running() == 1; }));
  gate.open();
  EXPECT_TRUE(eventually([&] { return handlers.running() == 0; }));
  const auto records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "Handler of 'broken' from b failed");
  EXPECT_EQ(records[0].level, utils::log::kError);
  EXPECT_TRUE(records[0].error_text.ends_with("no luck")) << records[0].error_text;
}

TEST(HandlerThreads, HandlersInLineRunOneAfterAnotherInTheOrderStarted) {
  HandlerThreads handlers(8);
  Gate first;
  std::mutex mutex;
  std::vector<int> order;
  int inside = 0;      // handlers of line "job-1" running at this moment
  int most_inside = 0;
  const auto record = [&](int n) {
    return [&, n] {
      {
        std::lock_guard lock(mutex);
        most_inside = std::max(most_inside, ++inside);
        order.push_back(n);
      }
      std::this_thread::yield();  // room for another handler of the line, were it let in
      std::lock_guard lock(mutex);
      --inside;
    };
  };
  handlers.start_in_line("job-1", "first", first.waiter());
  for (int n = 1; n <= 50; ++n) handlers.start_in_line("job-1", "update", record(n));
  std::atomic<bool> other_line_ran{false};
  handlers.start_in_line("job-2", "other", [&] { other_line_ran = true; });

  // Not behind job-1's line, which waits whole: its first handler and fifty behind it.
  EXPECT_TRUE(eventually([&] { return other_line_ran.load() && handlers.running() == 51; }));
  EXPECT_EQ(handlers.threads(), 2u);  // one thread runs the whole line
  first.open();
  ASSERT_TRUE(eventually([&] { return handlers.running() == 0; }));
  std::vector<int> expected;
  for (int n = 1; n <= 50; ++n) expected.push_back(n);
  EXPECT_EQ(order, expected);
  EXPECT_EQ(most_inside, 1);

  // The line is gone once empty: a later handler of that key starts a line of its own.
  std::atomic<bool> again{false};
  handlers.start_in_line("job-1", "again", [&] { again = true; });
  EXPECT_TRUE(eventually([&] { return again.load(); }));
}

TEST(HandlerThreads, FinishedThreadsAreLetGoAtTheNextStart) {
  HandlerThreads handlers(8);
  for (int n = 0; n < 200; ++n) handlers.start("quick", [] {});
  // A thread made while the others took all the work ends only once it gets to run, maybe after
  // the work is done: starts go on until the one made by the last is the only thread held.
  ASSERT_TRUE(eventually([&] {
    handlers.start("quick", [] {});
    return eventually([&] { return handlers.running() == 0; }) && handlers.threads() == 1;
  }));
  Gate gate;
  handlers.start("waiting", gate.waiter());
  EXPECT_EQ(handlers.threads(), 1u);
  gate.open();
}

TEST(HandlerThreads, GoingWaitsForEveryHandlerAlsoThoseInLine) {
  std::atomic<int> ended{0};
  Gate gate;
  {
    HandlerThreads handlers(1);
    handlers.start_in_line("job-1", "first", gate.waiter());
    for (int n = 0; n < 3; ++n) handlers.start_in_line("job-1", "next", [&] { ++ended; });
    handlers.start("alone", [&] { ++ended; });
    gate.open();
  }
  EXPECT_EQ(ended.load(), 4);
}

// Past the bound a handler waits for a thread, behind those started before it; never more threads
// run than the bound, and room shows whether one started now would run at once.
TEST(HandlerThreads, AtMostTheBoundRunAndTheOthersWaitInTheOrderStarted) {
  constexpr std::size_t kBound = 3;
  HandlerThreads handlers(kBound);
  std::vector<Gate> gates(kBound);
  for (Gate& gate : gates) handlers.start("held", gate.waiter());
  EXPECT_FALSE(handlers.has_room());
  std::mutex mutex;
  std::vector<int> order;
  int inside = 0;
  int most_inside = 0;
  std::size_t most_threads = 0;
  for (int n = 1; n <= 30; ++n) {
    handlers.start("counted", [&, n] {
      const std::size_t threads = handlers.threads();
      std::lock_guard lock(mutex);
      most_inside = std::max(most_inside, ++inside);
      most_threads = std::max(most_threads, threads);
      order.push_back(n);
      --inside;
    });
  }
  EXPECT_EQ(handlers.running(), kBound + 30);
  EXPECT_EQ(handlers.threads(), kBound);
  EXPECT_TRUE(order.empty());
  EXPECT_FALSE(handlers.wait_idle_for(std::chrono::milliseconds(20)));  // waiting ones count

  gates[0].open();  // one thread free: the waiting ones run on it, in order
  ASSERT_TRUE(eventually([&] { return handlers.running() == kBound - 1; }));
  std::vector<int> expected;
  for (int n = 1; n <= 30; ++n) expected.push_back(n);
  EXPECT_EQ(order, expected);
  EXPECT_EQ(most_inside, 1);
  EXPECT_LE(most_threads, kBound);
  EXPECT_TRUE(handlers.has_room());
  gates[1].open();
  gates[2].open();
}

// The wait of a process that ends: bounded, and idle only once the handlers in line have run too.
TEST(HandlerThreads, WaitIdleForCountsTheHandlersInLineAndGivesUpAtItsLimit) {
  HandlerThreads handlers(8);
  EXPECT_TRUE(handlers.wait_idle_for(std::chrono::seconds(0)));
  Gate first;
  Gate next;
  handlers.start_in_line("job-1", "first", first.waiter());
  handlers.start_in_line("job-1", "next", next.waiter());
  EXPECT_FALSE(handlers.wait_idle_for(std::chrono::milliseconds(20)));
  first.open();
  ASSERT_TRUE(eventually([&] { return handlers.running() == 1; }));
  EXPECT_FALSE(handlers.wait_idle_for(std::chrono::milliseconds(20)));
  next.open();
  EXPECT_TRUE(handlers.wait_idle_for(testing::kUnderLoad));
}

}  // namespace
}  // namespace velmora::model
