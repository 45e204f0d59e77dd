#pragma once
// The HTTPS server's workers: a pool that grows by one thread whenever a connection arrives and no
// worker is free, so no number of slow or idle connections holds a new one back. A worker left
// without work for a while ends. Only the server's accept loop calls enqueue and shutdown.

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace velmora::daemon {

class ConnectionThreads final : public httplib::TaskQueue {
 public:
  // accept_loop_tick runs on the accept loop between connections and when it is idle.
  explicit ConnectionThreads(std::function<void()> accept_loop_tick)
      : accept_loop_tick_(std::move(accept_loop_tick)) {}
  ConnectionThreads(const ConnectionThreads&) = delete;
  ConnectionThreads& operator=(const ConnectionThreads&) = delete;
  ~ConnectionThreads() override { shutdown(); }

  void enqueue(std::function<void()> connection) override;
  // Lets the queued connections be served, then waits until every worker has ended.
  void shutdown() override;
  void on_idle() override { accept_loop_tick_(); }

 private:
  static constexpr std::chrono::seconds kIdleLifetime{10};

  void work();

  const std::function<void()> accept_loop_tick_;
  std::mutex mutex_;
  std::condition_variable work_ready_;  // a connection queued, or shutting down
  std::condition_variable worker_ended_;
  std::deque<std::function<void()>> queue_;
  std::size_t workers_ = 0;
  std::size_t idle_workers_ = 0;
  bool shutting_down_ = false;
};

}  // namespace velmora::daemon
