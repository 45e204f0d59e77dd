#include "velmora/daemon/server/connection_threads.hpp"

#include <system_error>
#include <thread>

#include "velmora/utils/runtime/log.hpp"

namespace velmora::daemon {

void ConnectionThreads::enqueue(std::function<void()> connection) {
  {
    std::unique_lock lock(mutex_);
    if (idle_workers_ > queue_.size()) {
      queue_.push_back(std::move(connection));
      lock.unlock();
      work_ready_.notify_one();
    } else {
      try {
        // Detached: shutdown() waits for the count of workers instead of joining them.
        std::thread([this] { work(); }).detach();
        ++workers_;
        queue_.push_back(std::move(connection));
      } catch (const std::system_error& error) {
        // Out of threads: a busy worker takes the connection when it is done, or, with none
        // left, the accept loop serves it itself rather than drop it.
        utils::log::get_logger("velmora.daemon")
            .log_error(utils::log::kError, error, "No thread for a new connection");
        if (workers_ > 0) {
          queue_.push_back(std::move(connection));
        } else {
          lock.unlock();
          connection();
        }
      }
    }
  }
  accept_loop_tick_();
}

void ConnectionThreads::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_workers_;
    work_ready_.wait_for(lock, kIdleLifetime,
                         [this] { return !queue_.empty() || shutting_down_; });
    --idle_workers_;
    if (queue_.empty()) break;  // shutting down, or idle too long
    std::function<void()> connection = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    connection();
    connection = nullptr;  // the connection's state goes before the lock is taken again
    lock.lock();
  }
  --workers_;
  worker_ended_.notify_all();
}

void ConnectionThreads::shutdown() {
  std::unique_lock lock(mutex_);
  shutting_down_ = true;
  work_ready_.notify_all();
  worker_ended_.wait(lock, [this] { return workers_ == 0; });
}

}  // namespace velmora::daemon
