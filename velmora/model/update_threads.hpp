#pragma once
// The node's update threads: its polls, driven together, with the device's online status reported
// after each change, so that the backend sees the device online while they run and offline while
// they are paused or after they were killed. Once killed they never run again.
//
// Every member may be called from any thread, but not from inside a pass of one of the polls. The
// operations are serialised with each other, status reports included.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "velmora/device/device_status.hpp"
#include "velmora/utils/runtime/poll.hpp"

namespace velmora::model {

class UpdateThreads {
 public:
  // One poll: its name, the function it calls, its period.
  struct Task {
    std::string name;
    std::function<void()> pass;
    double interval_seconds;
  };
  using StatusReport = std::function<void(device::DeviceStatus)>;

  // made: never started; running: started and not paused; paused; killed: ended for good.
  enum class State { made, running, paused, killed };

  // Logs "creating threads" and makes a poll of each task, in order, none started. Throws
  // ValueError for an interval a poll refuses. report must stay callable while this object lives.
  UpdateThreads(std::vector<Task> tasks, StatusReport report);
  // Kills every poll, then waits for each.
  ~UpdateThreads();

  UpdateThreads(const UpdateThreads&) = delete;
  UpdateThreads& operator=(const UpdateThreads&) = delete;

  // Logs "starting threads". Once started or killed before, logs the warning "Redundant thread
  // start" and does nothing more; otherwise starts every poll and reports ONLINE. Polls paused
  // before their start stay paused until unpause.
  void start();
  // Logs "pausing threads", pauses every poll (a pass under way ends first), reports OFFLINE.
  void pause();
  // Logs "unpausing threads", lets every poll go on, reports ONLINE.
  void unpause();
  // Logs "killing threads", kills every poll, then waits for each to end, then reports OFFLINE.
  void kill();
  // Kills every poll and waits for each to end, as kill() does, with no log line and no report:
  // the process is ending.
  void end();

  // pause(), then fn, then unpause(), as one step against the other operations. When fn throws,
  // the polls stay paused and the error reaches the caller.
  void while_paused(const std::function<void()>& fn);

  // Whether start() has started the polls; never false again once true.
  bool started() const noexcept { return started_.load(); }
  State state() const noexcept { return state_.load(); }
  // The tasks' names, in order.
  const std::vector<std::string>& names() const noexcept { return names_; }

 private:
  // The operations without the lock; control_mutex_ is held.
  void pause_locked();
  void unpause_locked();
  void end_locked();
  // The state the flags describe; control_mutex_ is held.
  State current_state() const;

  const StatusReport report_;
  std::vector<std::string> names_;
  std::vector<std::unique_ptr<utils::Poll>> polls_;
  std::mutex control_mutex_;  // serialises the operations, across their status reports
  bool paused_ = false;       // guarded by control_mutex_
  bool killed_ = false;       // guarded by control_mutex_
  std::atomic<bool> started_{false};
  std::atomic<State> state_{State::made};
};

}  // namespace velmora::model
