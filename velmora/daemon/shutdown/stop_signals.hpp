#pragma once
// How velmorad learns that it is to stop: SIGINT or SIGTERM, taken by a thread of its own, or
// the end of serving, both made one stop request that the main thread waits for.

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace velmora::daemon {

// SIGINT and SIGTERM.
sigset_t stop_signals();

// Blocks the stop signals in the calling thread and in every thread it makes from now on, so
// that only StopSignalWatcher takes them and no system call is interrupted by them.
void block_stop_signals();

// Runs on_stop on a thread of its own each time SIGINT or SIGTERM arrives. The signals must be
// blocked (block_stop_signals) in every thread before the object is made.
class StopSignalWatcher {
 public:
  explicit StopSignalWatcher(std::function<void()> on_stop);
  StopSignalWatcher(const StopSignalWatcher&) = delete;
  StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;
  ~StopSignalWatcher();

 private:
  std::atomic<bool> quitting_ = false;
  std::thread thread_;
};

// A request to stop, made once or more from any thread and waited for by another.
class StopRequest {
 public:
  void request();
  // Returns once request() has been called.
  void wait();

 private:
  std::mutex mutex_;
  std::condition_variable requested_cv_;
  bool requested_ = false;  // guarded by mutex_
};

}  // namespace velmora::daemon
