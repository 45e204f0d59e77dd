#pragma once
// Work on a thread of its own that its owner waits for until a deadline, and leaves running when
// the deadline comes first: how velmorad bounds its exit by work that may not end in time.
// One thread uses the object.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace velmora::daemon {

class DeadlineThread {
 public:
  // Starts work at once; work must not throw.
  explicit DeadlineThread(std::function<void()> work);
  DeadlineThread(const DeadlineThread&) = delete;
  DeadlineThread& operator=(const DeadlineThread&) = delete;
  // Joins the thread when its work has returned; otherwise leaves it running, detached: what the
  // work uses must then outlive the process, which ends without destructors.
  ~DeadlineThread();

  // Whether the work returned by deadline; the thread is joined when it did.
  bool ended_by(std::chrono::steady_clock::time_point deadline);

 private:
  struct Progress {
    std::mutex mutex;
    std::condition_variable ended_cv;
    bool ended = false;  // guarded by mutex
  };

  // Shared with the thread, which may outlive this object.
  const std::shared_ptr<Progress> progress_ = std::make_shared<Progress>();
  std::thread thread_;
};

}  // namespace velmora::daemon
