#include "velmora/daemon/shutdown/stop_signals.hpp"

#include <pthread.h>

namespace velmora::daemon {

sigset_t stop_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

void block_stop_signals() {
  const sigset_t signals = stop_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

StopSignalWatcher::StopSignalWatcher(std::function<void()> on_stop)
    : thread_([this, on_stop = std::move(on_stop)] {
        const sigset_t signals = stop_signals();
        int signal = 0;
        while (sigwait(&signals, &signal) == 0 && !quitting_.load()) on_stop();
      }) {}

StopSignalWatcher::~StopSignalWatcher() {
  quitting_.store(true);
  pthread_kill(thread_.native_handle(), SIGTERM);
  thread_.join();
}

void StopRequest::request() {
  {
    std::lock_guard lock(mutex_);
    requested_ = true;
  }
  requested_cv_.notify_all();
}

void StopRequest::wait() {
  std::unique_lock lock(mutex_);
  requested_cv_.wait(lock, [this] { return requested_; });
}

}  // namespace velmora::daemon
