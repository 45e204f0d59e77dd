#pragma once
// The threads on which the node handles received packages, one per package. A handler started in
// line behind a key runs once every handler started earlier behind the same key has ended, so the
// handlers of one key run one after another in the order they were started. A handler that throws
// is logged at ERROR and ends its own thread only. Threads that have ended are joined and let go
// at the next start, so finished handlers hold nothing.
//
// Every member may be called from any thread, from inside a handler too (but for the destructor).
// Not copyable. The destructor waits for every handler, those still in line included.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace velmora::model {

class HandlerThreads {
 public:
  using Handler = std::function<void()>;

  HandlerThreads() = default;
  ~HandlerThreads();

  HandlerThreads(const HandlerThreads&) = delete;
  HandlerThreads& operator=(const HandlerThreads&) = delete;

  // Runs handler on a new thread; what names it in the log line of a failure. Throws
  // std::system_error when no thread can be made; the handler is then let go unrun.
  void start(std::string what, Handler handler);
  // Runs handler after the handlers started in line behind key before it, on the thread that runs
  // them, or on a new thread when none is in line. Throws as start().
  void start_in_line(const std::string& key, std::string what, Handler handler);

  // Handlers started and not yet ended, those waiting in line included.
  std::size_t running() const;
  // Threads held: those running and those ended since the last start.
  std::size_t threads() const;
  // Waits up to grace until no handler runs or waits in line; true when none is left.
  bool wait_idle_for(std::chrono::steady_clock::duration grace) const;

 private:
  struct Work {
    std::string what;
    Handler handler;
  };
  struct Thread {
    std::thread thread;
    bool ended = false;  // guarded by mutex_; the thread takes no lock after setting it
  };
  using Threads = std::list<Thread>;

  // Joins and drops the threads that have ended; mutex_ is held.
  void prune();
  // Makes a thread that runs work and then, when it runs a line, the work waiting in that line
  // until none is left; mutex_ is held.
  void launch(Work work, std::optional<std::string> line);
  // The thread's body.
  void run(Threads::iterator self, Work work, std::optional<std::string> line);
  void run_one(const Work& work) noexcept;
  // Counts a handler as ended; mutex_ is held.
  void one_ended();

  mutable std::mutex mutex_;
  Threads threads_;                                 // guarded by mutex_
  // guarded by mutex_: by key, the work waiting behind the handler of that key that runs
  std::map<std::string, std::deque<Work>> lines_;
  std::size_t running_ = 0;  // guarded by mutex_
  mutable std::condition_variable idle_;  // notified when running_ drops to zero
};

}  // namespace velmora::model
