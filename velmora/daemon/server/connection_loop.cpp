#include "velmora/daemon/server/connection_loop.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <system_error>
#include <thread>
#include <vector>

#include "velmora/daemon/bounds.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::daemon {
namespace {

using Clock = Connection::Clock;

// Tags of the loop's own descriptors in the epoll set; a connection's tag is its id.
constexpr std::uint64_t kListenerTag = 0;
constexpr std::uint64_t kTimerTag = 1;
constexpr std::uint64_t kStopTag = 2;
constexpr std::uint64_t kFirstConnectionId = 3;

constexpr int kAcceptsPerTurn = 256;

// How often deadlines are checked: an eighth of the shortest time bound, within 10 and 250 ms, so
// that a connection goes little past its time.
itimerspec sweep_period(const ServerBounds& bounds) {
  using std::chrono::milliseconds;
  const milliseconds shortest =
      std::min({bounds.idle_time, bounds.handshake_time, bounds.request_time});
  const auto period = std::clamp(shortest / 8, milliseconds(10), milliseconds(250));
  const timespec every{.tv_sec = period.count() / 1000,
                       .tv_nsec = period.count() % 1000 * 1000000};
  return {.it_interval = every, .it_value = every};
}

utils::FileDescriptor checked(int fd, const char* what) {
  if (fd < 0) throw utils::RuntimeError(std::string("the local API cannot make its ") + what +
                                        ": " + std::strerror(errno));
  return utils::FileDescriptor(fd);
}

bool add(int epoll, int fd, std::uint32_t events, std::uint64_t tag) {
  epoll_event event{.events = events, .data = {.u64 = tag}};
  return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

// The peer of an accepted connection, from the address accept gave.
void name_peer(const sockaddr_storage& address, ConnectionEnds& ends) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    ends.peer_port = ntohs(v4.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    ends.peer_port = ntohs(v6.sin6_port);
  }
  ends.peer_ip = text;
}

// A write to a connection the client has closed fails with EPIPE on this thread, rather than
// raising SIGPIPE. Restores the thread's signal mask when it goes.
class NoBrokenPipeSignal {
 public:
  NoBrokenPipeSignal() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &before_);
  }
  ~NoBrokenPipeSignal() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
  NoBrokenPipeSignal(const NoBrokenPipeSignal&) = delete;
  NoBrokenPipeSignal& operator=(const NoBrokenPipeSignal&) = delete;

 private:
  sigset_t before_;
};

}  // namespace

ConnectionLoop::ConnectionLoop(SSL_CTX* context, RequestServer serve, const ServerBounds& bounds)
    : context_(context),
      serve_(std::move(serve)),
      bounds_(bounds),
      epoll_(checked(::epoll_create1(EPOLL_CLOEXEC), "epoll set")),
      stop_event_(checked(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "stop event")),
      timer_(checked(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK), "timer")),
      next_id_(kFirstConnectionId) {
  const itimerspec period = sweep_period(bounds_);
  if (::timerfd_settime(timer_.get(), 0, &period, nullptr) != 0 ||
      !add(epoll_.get(), timer_.get(), EPOLLIN | EPOLLONESHOT, kTimerTag) ||
      !add(epoll_.get(), stop_event_.get(), EPOLLIN, kStopTag))
    throw utils::RuntimeError(std::string("the local API cannot set up its epoll set: ") +
                              std::strerror(errno));
}

ConnectionLoop::~ConnectionLoop() = default;

void ConnectionLoop::stop() noexcept {
  stopping_.store(true);
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(stop_event_.get(), &one, sizeof one);
}

std::size_t ConnectionLoop::connections() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void ConnectionLoop::run(int listening_socket, const ConnectionEnds& local) {
  listener_ = listening_socket;
  local_ = local;
  if (!add(epoll_.get(), listener_, EPOLLIN | EPOLLONESHOT, kListenerTag))
    throw utils::RuntimeError(std::string("the local API cannot wait for connections: ") +
                              std::strerror(errno));
  std::vector<std::thread> workers;
  try {
    for (std::size_t i = 1; i < bounds_.serving_threads; ++i)
      workers.emplace_back([this] { work(); });
  } catch (const std::system_error& error) {
    std::lock_guard lock(mutex_);
    failure_ = std::string("no thread to serve connections: ") + error.what();
    stop();
  }
  work();
  for (std::thread& worker : workers) worker.join();
  std::lock_guard lock(mutex_);
  by_last_served_.clear();
  entries_.clear();  // closes every connection
  if (!failure_.empty()) throw utils::RuntimeError("the local API stopped serving: " + failure_);
}

void ConnectionLoop::work() {
  const NoBrokenPipeSignal no_signal;
  for (;;) {
    epoll_event event{};
    const int ready = ::epoll_wait(epoll_.get(), &event, 1, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      std::lock_guard lock(mutex_);
      failure_ = std::string("waiting for connections failed: ") + std::strerror(errno);
      stop();
    }
    if (stopping_.load()) return;  // the stop event stays readable: every thread sees it
    switch (event.data.u64) {
      case kListenerTag: accept_connections(); break;
      case kTimerTag: sweep(); break;
      default: serve_connection(event.data.u64);
    }
  }
}

void ConnectionLoop::accept_connections() {
  for (int turn = 0; turn < kAcceptsPerTurn; ++turn) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    const int socket = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &size,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (socket < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors or memory: the next sweep takes up accepting again.
        std::lock_guard lock(mutex_);
        accepting_paused_ = true;
        return;
      }
      break;  // none left to accept
    }
    ConnectionEnds ends = local_;
    name_peer(peer, ends);
    admit(socket, std::move(ends));
  }
  arm(listener_, kListenerTag, Connection::Wait::kRead, EPOLL_CTL_MOD);
}

void ConnectionLoop::admit(int socket, ConnectionEnds ends) {
  const int yes = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  std::uint64_t id = 0;
  {
    std::lock_guard lock(mutex_);
    if (entries_.size() >= bounds_.max_connections && !close_least_useful()) {
      ::close(socket);  // every connection holds a request being answered: this one goes at once
      return;
    }
    id = next_id_++;
    auto connection =
        std::make_unique<Connection>(socket, context_, std::move(ends), bounds_, Clock::now());
    const Clock::time_point came = connection->last_served();
    by_last_served_.push_back(id);
    entries_.emplace(id, Entry{.connection = std::move(connection),
                               .in_order = std::prev(by_last_served_.end()),
                               .last_served = came});
  }
  if (!arm(socket, id, Connection::Wait::kRead, EPOLL_CTL_ADD)) {
    std::lock_guard lock(mutex_);
    close_entry(entries_.find(id));
  }
}

// The one longest without an answer among those idle, in their handshake or with a request not
// yet whole, and not being served.
bool ConnectionLoop::close_least_useful() {
  for (const std::uint64_t id : by_last_served_) {
    const auto entry = entries_.find(id);
    if (!entry->second.busy && !entry->second.connection->answering()) {
      close_entry(entry);
      return true;
    }
  }
  return false;
}

// After a turn: an answer that went whole moves the connection to the end of the order.
void ConnectionLoop::reorder(Entry& entry) {
  const Clock::time_point served = entry.connection->last_served();
  if (served == entry.last_served) return;
  entry.last_served = served;
  by_last_served_.splice(by_last_served_.end(), by_last_served_, entry.in_order);
}

void ConnectionLoop::close_entry(Entries::iterator entry) {
  by_last_served_.erase(entry->second.in_order);
  entries_.erase(entry);
}

void ConnectionLoop::serve_connection(std::uint64_t id) {
  Connection* connection = nullptr;
  {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(id);
    if (found == entries_.end()) return;  // closed since it woke
    if (found->second.busy) {
      found->second.rewoken = true;
      return;
    }
    found->second.busy = true;
    connection = found->second.connection.get();
  }
  for (;;) {
    const Clock::time_point now = Clock::now();
    const Connection::Wait wait = stopping_.load() || now >= connection->deadline()
                                      ? Connection::Wait::kDone
                                      : connection->advance(serve_, now);
    const bool armed = wait != Connection::Wait::kDone &&
                       arm(connection->socket(), id, wait, EPOLL_CTL_MOD);
    std::lock_guard lock(mutex_);
    const auto entry = entries_.find(id);
    if (!armed) {
      close_entry(entry);
      return;
    }
    if (!entry->second.rewoken) {
      entry->second.busy = false;
      reorder(entry->second);
      return;
    }
    entry->second.rewoken = false;  // it woke again while served: serve it once more
  }
}

void ConnectionLoop::sweep() {
  std::uint64_t expirations = 0;
  [[maybe_unused]] const ssize_t read = ::read(timer_.get(), &expirations, sizeof expirations);
  bool resume_accepting = false;
  {
    std::lock_guard lock(mutex_);
    const Clock::time_point now = Clock::now();
    for (auto entry = entries_.begin(); entry != entries_.end();) {
      const auto next = std::next(entry);
      if (!entry->second.busy && entry->second.connection->deadline() <= now)
        close_entry(entry);
      entry = next;
    }
    resume_accepting = std::exchange(accepting_paused_, false);
  }
  if (resume_accepting) arm(listener_, kListenerTag, Connection::Wait::kRead, EPOLL_CTL_MOD);
  arm(timer_.get(), kTimerTag, Connection::Wait::kRead, EPOLL_CTL_MOD);
}

bool ConnectionLoop::arm(int socket, std::uint64_t id, Connection::Wait wait, int operation) {
  // A connection whose turn is over waits for its socket to be writable, which it mostly is at
  // once: epoll hands it out again after the connections that were ready before it.
  const std::uint32_t events = wait == Connection::Wait::kRead    ? EPOLLIN
                               : wait == Connection::Wait::kWrite ? EPOLLOUT
                                                                  : EPOLLIN | EPOLLOUT;
  epoll_event event{.events = events | EPOLLONESHOT, .data = {.u64 = id}};
  return ::epoll_ctl(epoll_.get(), operation, socket, &event) == 0;
}

}  // namespace velmora::daemon
