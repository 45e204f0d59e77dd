#pragma once
// A periodic worker: calls one function on a thread of its own, first one interval after start,
// then one interval after each pass has ended, until it is killed. A pass that throws is logged
// at ERROR on the logger "velmora.utils" and the poll goes on; a failure of the same text is
// logged again only once a minute has passed, however often passes fail with it.
//
// Every member may be called from any thread. Not copyable. Destroying a poll kills it and waits
// for a pass under way; it must not be destroyed from its own thread.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>

#include "velmora/utils/runtime/repeat_limiter.hpp"

namespace velmora::utils {

class Poll {
 public:
  // Throws ValueError unless interval_seconds passes check_interval.
  Poll(std::function<void()> fn, double interval_seconds);

  static constexpr double kMaxIntervalSeconds = 1e9;

  // Throws ValueError, naming the interval as what, unless seconds is positive and at most
  // kMaxIntervalSeconds (fractions allowed).
  static void check_interval(double seconds, std::string_view what = "Poll interval");
  ~Poll();

  Poll(const Poll&) = delete;
  Poll& operator=(const Poll&) = delete;

  // Starts the thread. Later calls, and a call after kill, do nothing.
  void start();

  // No pass begins until unpause. Returns once a pass under way has ended, except when called
  // from the poll's own thread (from inside a pass), where it returns at once.
  void pause();

  // Lets a paused poll go on; a pass whose time has come while paused begins at once.
  void unpause();

  // Ends the poll for good: a waiting or paused poll ends at once, a pass under way is let end.
  void kill();

  // Returns once the thread has ended; at once on a poll that was never started. Throws
  // RuntimeError when called from the poll's own thread.
  void join();

 private:
  void run();
  void run_pass() noexcept;

  const std::function<void()> fn_;
  const std::chrono::steady_clock::duration interval_;

  std::mutex mutex_;
  std::condition_variable changed_;  // notified whenever a flag below changes
  bool started_ = false;
  bool paused_ = false;
  bool killed_ = false;
  bool running_ = false;   // a pass is under way
  bool finished_ = false;  // the thread has left its loop
  std::thread::id worker_;
  std::thread thread_;
  RepeatLimiter failures_logged_{std::chrono::minutes(1)};  // used by the poll's thread only
};

}  // namespace velmora::utils
