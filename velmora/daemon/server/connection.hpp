#pragma once
// One client connection of the local API: its TLS session, the bytes of its requests until one is
// whole, and its answers until they have gone. It never waits: advance() moves it on as far as its
// socket allows, for at most a turn's worth of records, and tells what it waits for next, so that
// a connection holds a thread only while one of its requests is read, answered or written, and
// never for long.
//
// One thread at a time calls it; the caller hands it from thread to thread with a lock.

#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "velmora/daemon/bounds.hpp"
#include "velmora/daemon/server/answer_output.hpp"
#include "velmora/daemon/server/api_exchange.hpp"
#include "velmora/daemon/server/request_extent.hpp"

namespace httplib {
class Stream;
}

namespace velmora::daemon {

// A connection is closed after its answer to this many requests.
inline constexpr std::size_t kMaxRequestsPerConnection = 1000;

// Parses one whole request read from stream and writes its answer to it; close_connection makes
// the answer the connection's last. Sets connection_closed when the client asked to close, and
// kept_body to a body that goes out after what it wrote. False when the request could not be
// answered.
using RequestServer = std::function<bool(httplib::Stream& stream, bool close_connection,
                                         bool& connection_closed, KeptText& kept_body)>;

// Where a connection runs: the addresses a request may be asked for.
struct ConnectionEnds {
  std::string peer_ip;
  int peer_port = 0;
  std::string local_ip;
  int local_port = 0;
};

class Connection {
 public:
  using Clock = std::chrono::steady_clock;
  // kTurn: it can go on at once, once the other ready connections have had their turn; kDone:
  // nothing more to do but close it.
  enum class Wait { kRead, kWrite, kTurn, kDone };

  // Takes over socket (non-blocking, accepted at now) and serves it under context, within bounds
  // (which must outlive it).
  Connection(int socket, SSL_CTX* context, ConnectionEnds ends, const ServerBounds& bounds,
             Clock::time_point now);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();  // closes the socket

  // Shakes hands, reads, answers each whole request through serve and writes the answers, until
  // the socket would block or bounds.records_per_turn records and requests have gone by; what it
  // then waits for.
  Wait advance(const RequestServer& serve, Clock::time_point now);

  int socket() const noexcept { return socket_; }
  // By then the connection is to be closed.
  Clock::time_point deadline() const noexcept { return deadline_; }
  // Whether it holds a request being answered: an answer not yet all written.
  bool answering() const noexcept;
  // When its last answer went whole, or when it came if none has: the longer ago, the less it is
  // worth keeping.
  Clock::time_point last_served() const noexcept { return last_served_; }

 private:
  enum class State { kHandshake, kOpen, kLingering, kDone };

  Wait after_failure(int result);
  bool serve_buffered(const RequestServer& serve);
  bool send(Wait& blocked);
  bool receive(Wait& blocked);
  void begin_lingering();
  Wait linger();

  const int socket_;
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl_;
  const ConnectionEnds ends_;
  const ServerBounds& bounds_;
  State state_ = State::kHandshake;
  Clock::time_point now_;
  Clock::time_point deadline_;
  Clock::time_point last_served_;
  std::size_t turn_ = 0;       // records and requests in this advance
  bool greeted_ = false;       // a byte of the handshake came
  bool close_after_ = false;   // the answers written are the last
  bool just_answered_ = false;  // in this advance, an answer went and nothing was read since
  std::size_t requests_ = 0;
  RequestFraming framing_{kMaxRequestHead, kMaxRequestBody};  // of the request in input_
  std::string input_;    // received, not yet taken up by a request
  AnswerOutput output_;  // answers not yet written
};

}  // namespace velmora::daemon
