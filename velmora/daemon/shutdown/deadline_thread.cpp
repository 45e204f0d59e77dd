#include "velmora/daemon/shutdown/deadline_thread.hpp"

namespace velmora::daemon {

DeadlineThread::DeadlineThread(std::function<void()> work)
    : thread_([progress = progress_, work = std::move(work)] {
        work();
        std::lock_guard lock(progress->mutex);
        progress->ended = true;
        progress->ended_cv.notify_all();
      }) {}

DeadlineThread::~DeadlineThread() {
  if (!thread_.joinable()) return;
  bool ended = false;
  {
    std::lock_guard lock(progress_->mutex);
    ended = progress_->ended;
  }
  if (ended)
    thread_.join();
  else
    thread_.detach();
}

bool DeadlineThread::ended_by(std::chrono::steady_clock::time_point deadline) {
  {
    std::unique_lock lock(progress_->mutex);
    if (!progress_->ended_cv.wait_until(lock, deadline, [this] { return progress_->ended; }))
      return false;
  }
  if (thread_.joinable()) thread_.join();
  return true;
}

}  // namespace velmora::daemon
