#pragma once
// The threads on which the node runs its handlers: those of received packages, and the builds of
// its landings. At most max_threads run at once; a handler started while all are busy waits, with
// the others started before it, in the order started, for a thread to be free. A handler started
// in line behind a key runs once every handler started earlier behind the same key has ended, so
// the handlers of one key run one after another in the order they were started. A handler that
// throws is logged at ERROR and ends only itself. Threads are made as handlers come and end when
// none waits; an ended thread is joined and let go at the next start.
//
// Every member may be called from any thread, from inside a handler too (but for the destructor
// and wait_idle_for). Not copyable. The destructor waits for every handler, those still waiting
// included.

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

  explicit HandlerThreads(std::size_t max_threads);
  ~HandlerThreads();

  HandlerThreads(const HandlerThreads&) = delete;
  HandlerThreads& operator=(const HandlerThreads&) = delete;

  // Runs handler on a thread as soon as one is free; what names it in the log line of a failure.
  // Throws std::system_error when a thread is needed and none can be made; the handler is then
  // let go unrun.
  void start(std::string what, Handler handler);
  // Runs handler after the handlers started in line behind key before it, on the thread that runs
  // them, or as start() does when none is in line. Throws as start().
  void start_in_line(const std::string& key, std::string what, Handler handler);

  // Whether fewer handlers are pending than threads may run, so that one started now runs at once.
  bool has_room() const;
  // Handlers started and not yet ended: running, waiting for a thread or waiting in line.
  std::size_t running() const;
  // Threads held: those running and those ended since the last start. Never more than
  // max_threads once a start has let the ended ones go.
  std::size_t threads() const;

  // Waits up to grace until no handler runs or waits (for a thread or in line); true when none is
  // left.
  bool wait_idle_for(std::chrono::steady_clock::duration grace) const;

 private:
  struct Work {
    std::string what;
    Handler handler;
    std::optional<std::string> line;  // the key it runs in line behind, if any
  };
  struct Thread {
    std::thread thread;
    bool ended = false;  // guarded by mutex_; the thread takes no lock after setting it
  };
  using Threads = std::list<Thread>;

  // Puts work behind the handlers waiting for a thread and makes a thread when one may be made;
  // mutex_ is held.
  void admit(Work work);
  // Joins and drops the threads that have ended; mutex_ is held.
  void prune();
  // A thread's body: the waiting work, each followed by what waits in its line, until none is
  // left.
  void run(Threads::iterator self);
  void run_one(Work& work) noexcept;
  // One handler has ended; mutex_ is held.
  void ended_one();

  const std::size_t max_threads_;
  mutable std::mutex mutex_;
  mutable std::condition_variable idle_;  // notified when the last pending handler ends
  Threads threads_;                       // guarded by mutex_
  std::size_t live_threads_ = 0;          // guarded by mutex_: threads not yet ended
  std::deque<Work> waiting_;              // guarded by mutex_: for a thread, in the order started
  // guarded by mutex_: by key, the work waiting behind the handler of that key that runs or waits
  std::map<std::string, std::deque<Work>> lines_;
  std::size_t pending_ = 0;  // guarded by mutex_
};

}  // namespace velmora::model
