#pragma once
// The local API's connections and the threads that serve them. One epoll set holds every
// connection that waits (for its handshake, its next request, or room for its answer); a fixed
// number of threads take up the connections that are ready in turn, each thread one connection
// at a time and for a bounded turn. A waiting connection holds no thread. At most
// bounds.max_connections are open: one more closes the one that has gone longest without an
// answer among those that hold no request being answered, or is closed at once when every one
// does; a connection idle or late past its time is closed.
//
// run() belongs to one thread; stop() and connections() may be called from any thread at any
// time, stop() also before run().

#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "velmora/daemon/bounds.hpp"
#include "velmora/daemon/server/connection.hpp"
#include "velmora/utils/file_descriptor.hpp"

namespace velmora::daemon {

class ConnectionLoop {
 public:
  // Serves connections under context (which must outlive the loop), each request through serve,
  // within bounds. Throws RuntimeError when the kernel's objects for it cannot be made.
  ConnectionLoop(SSL_CTX* context, RequestServer serve, const ServerBounds& bounds);
  ConnectionLoop(const ConnectionLoop&) = delete;
  ConnectionLoop& operator=(const ConnectionLoop&) = delete;
  ~ConnectionLoop();

  // Accepts on listening_socket (listening, non-blocking; local names its address) and serves
  // until stop(), on this thread and bounds.serving_threads - 1 more. Returns once they have
  // ended and every connection is closed: a request being answered is answered first. Throws
  // RuntimeError when waiting for the sockets fails.
  void run(int listening_socket, const ConnectionEnds& local);
  void stop() noexcept;

  // Connections open now.
  std::size_t connections() const;

 private:
  struct Entry {
    std::unique_ptr<Connection> connection;
    bool busy = false;     // a thread serves it (and arms it again); nobody else touches it
    bool rewoken = false;  // it woke while busy: the thread serving it goes on
    std::list<std::uint64_t>::iterator in_order;  // its place in by_last_served_
    Connection::Clock::time_point last_served{};  // when it took that place
  };
  using Entries = std::unordered_map<std::uint64_t, Entry>;

  void work();
  void accept_connections();
  void admit(int socket, ConnectionEnds ends);
  // Under mutex_: closes the connection that a newcomer displaces; false when every one holds a
  // request being answered.
  bool close_least_useful();
  void reorder(Entry& entry);  // under mutex_
  // Under mutex_, and at once: connections() counts every connection still open, no more.
  void close_entry(Entries::iterator entry);
  void serve_connection(std::uint64_t id);
  void sweep();
  bool arm(int socket, std::uint64_t id, Connection::Wait wait, int operation);

  SSL_CTX* const context_;
  const RequestServer serve_;
  const ServerBounds bounds_;
  utils::FileDescriptor epoll_;
  utils::FileDescriptor stop_event_;  // readable once stop() was called
  utils::FileDescriptor timer_;       // readable now and then: deadlines are checked
  int listener_ = -1;
  ConnectionEnds local_;
  std::atomic<bool> stopping_ = false;

  mutable std::mutex mutex_;
  Entries entries_;         // guarded by mutex_
  // Guarded by mutex_: the ids of entries_, by when each was last served, the longest ago first.
  std::list<std::uint64_t> by_last_served_;
  std::uint64_t next_id_;   // guarded by mutex_
  bool accepting_paused_ = false;  // guarded by mutex_; out of descriptors until the next sweep
  std::string failure_;            // guarded by mutex_
};

}  // namespace velmora::daemon
