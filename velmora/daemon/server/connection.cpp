#include "velmora/daemon/server/connection.hpp"

#include <httplib.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>

namespace velmora::daemon {
namespace {

// Answers gathered before they are written, when the client sent many requests at once.
constexpr std::size_t kAnswerBatch = std::size_t{64} << 10;
// Memory a buffer keeps between requests; a larger one goes back after its request.
constexpr std::size_t kKeptBuffer = std::size_t{64} << 10;
// After the last answer, what the client still sends is read and dropped for so long, so that
// closing with it unread does not reset the connection before the client has read the answer.
constexpr std::chrono::seconds kLingerTime{2};
constexpr std::size_t kLingerBytesPerTurn = std::size_t{256} << 10;
constexpr std::size_t kReadChunk = std::size_t{16} << 10;

// One whole request as the parser reads it, and the buffer its answer goes to: the answer is
// written in one piece once the parser is done, and no system call happens meanwhile.
class BufferedStream final : public httplib::Stream {
 public:
  BufferedStream(std::string_view request, std::string& answer, const ConnectionEnds& ends,
                 int socket)
      : request_(request), answer_(answer), ends_(ends), socket_(socket) {}

  bool is_readable() const override { return !request_.empty(); }
  bool is_writable() const override { return true; }
  ssize_t read(char* to, size_t size) override {
    const std::size_t n = std::min(size, request_.size());
    if (n == 0) read_past_end_ = true;
    std::memcpy(to, request_.data(), n);
    request_.remove_prefix(n);
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* from, size_t size) override {
    answer_.append(from, size);
    return static_cast<ssize_t>(size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = ends_.peer_ip;
    port = ends_.peer_port;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = ends_.local_ip;
    port = ends_.local_port;
  }
  socket_t socket() const override { return socket_; }

  // Whether the parser asked for more than the request held.
  bool read_past_end() const noexcept { return read_past_end_; }

 private:
  std::string_view request_;
  std::string& answer_;
  const ConnectionEnds& ends_;
  const int socket_;
  bool read_past_end_ = false;
};

// Whether the answer that starts at start refuses a request the server could not read whole: what
// follows it on the connection cannot be trusted.
bool refuses_framing(std::string_view answers, std::size_t start) {
  const std::string_view status = answers.substr(start).substr(9, 3);  // "HTTP/1.1 NNN"
  return status == "400" || status == "413" || status == "414" || status == "431";
}

// Makes the answer that starts at start say that the connection closes after it, when it does not
// yet: a client that took the connection for kept would send its next request into the void.
void announce_close(std::string& answers, std::size_t start) {
  const std::size_t head_end = answers.find("\r\n\r\n", start);
  if (head_end == std::string::npos) return;
  const std::size_t status_end = answers.find("\r\n", start);
  std::string head = answers.substr(status_end, head_end - status_end + 2);  // "\r\n...\r\n"
  std::string lowered = head;
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lowered.find("\r\nconnection: close\r\n") != std::string::npos) return;
  if (const std::size_t kept = lowered.find("\r\nkeep-alive:"); kept != std::string::npos)
    head.erase(kept, head.find("\r\n", kept + 2) - kept);
  head.insert(0, "\r\nConnection: close");
  answers.replace(status_end, head_end - status_end + 2, head);
}

void release_if_large(std::string& buffer) {
  if (buffer.empty() && buffer.capacity() > kKeptBuffer) std::string().swap(buffer);
}

}  // namespace

Connection::Connection(int socket, SSL_CTX* context, ConnectionEnds ends,
                       const ServerBounds& bounds, Clock::time_point now)
    : socket_(socket),
      ssl_(SSL_new(context), &SSL_free),
      ends_(std::move(ends)),
      bounds_(bounds),
      now_(now),
      deadline_(now + bounds.idle_time),
      last_served_(now) {
  if (ssl_) {
    SSL_set_fd(ssl_.get(), socket_);
    SSL_set_accept_state(ssl_.get());
  } else {
    ERR_clear_error();
    state_ = State::kDone;
  }
}

Connection::~Connection() { ::close(socket_); }

bool Connection::answering() const noexcept {
  return state_ == State::kOpen && !output_.empty();
}

Connection::Wait Connection::advance(const RequestServer& serve, Clock::time_point now) {
  now_ = now;
  turn_ = 0;
  just_answered_ = false;  // it woke: the socket has something
  if (state_ == State::kHandshake) {
    if (!greeted_) {
      greeted_ = true;
      deadline_ = now + bounds_.handshake_time;
    }
    ERR_clear_error();
    const int shaken = SSL_do_handshake(ssl_.get());
    if (shaken != 1) return after_failure(shaken);
    state_ = State::kOpen;
    deadline_ = now + bounds_.idle_time;
  }
  Wait blocked = Wait::kDone;
  while (state_ == State::kOpen) {
    if (turn_ >= bounds_.records_per_turn) return Wait::kTurn;
    if (!output_.empty()) {
      if (!send(blocked)) return blocked;
    } else if (close_after_) {
      begin_lingering();
    } else if (!serve_buffered(serve)) {
      // Nothing whole to answer: read on, unless an answer has just gone and nothing more waits
      // in the TLS session; then the socket says when the client sends again.
      if (just_answered_ && !SSL_has_pending(ssl_.get())) return Wait::kRead;
      if (!receive(blocked)) return blocked;
    }
  }
  return state_ == State::kLingering ? linger() : Wait::kDone;
}

Connection::Wait Connection::after_failure(int result) {
  switch (SSL_get_error(ssl_.get(), result)) {
    case SSL_ERROR_WANT_READ: return Wait::kRead;
    case SSL_ERROR_WANT_WRITE: return Wait::kWrite;
    default:  // the client went, or spoke no TLS
      ERR_clear_error();
      state_ = State::kDone;
      return Wait::kDone;
  }
}

bool Connection::serve_buffered(const RequestServer& serve) {
  bool served = false;
  while (!close_after_ && output_.size() < kAnswerBatch && turn_ < bounds_.records_per_turn) {
    const RequestExtent extent = framing_.extent(input_);
    if (extent.length == 0) break;
    ++turn_;
    const bool last = extent.close_after || ++requests_ >= kMaxRequestsPerConnection;
    std::string& answers = output_.bytes();
    const std::size_t answer_start = answers.size();
    BufferedStream stream(std::string_view(input_).substr(0, extent.length), answers, ends_,
                          socket_);
    bool client_closes = false;
    bool answered = false;
    KeptText kept_body;
    try {
      answered = serve(stream, last, client_closes, kept_body);
    } catch (const std::exception&) {
      // out of memory, say: this connection ends, the server goes on
    }
    input_.erase(0, extent.length);
    close_after_ = last || client_closes || !answered || stream.read_past_end() ||
                   answers.size() - answer_start < 12 || refuses_framing(answers, answer_start);
    if (close_after_) announce_close(answers, answer_start);
    if (answered) output_.append(std::move(kept_body));  // after its head
    served = true;
  }
  if (served) {
    release_if_large(input_);
    now_ = Clock::now();  // the handlers took their time
    deadline_ = now_ + bounds_.request_time;  // for the answers to go
  }
  return served;
}

// False when the socket would block or the turn is over (blocked says which), or the connection
// failed. An answer may take as long as its reader goes on reading: each record the socket takes
// gives it another request time.
bool Connection::send(Wait& blocked) {
  while (!output_.empty()) {
    if (turn_ >= bounds_.records_per_turn) {
      blocked = Wait::kTurn;
      return false;
    }
    const std::string_view next = output_.unwritten();
    std::size_t written = 0;
    ERR_clear_error();
    const int done = SSL_write_ex(ssl_.get(), next.data(), next.size(), &written);
    if (done != 1) {
      blocked = after_failure(done);
      return false;
    }
    output_.written(written);
    ++turn_;
    deadline_ = now_ + bounds_.request_time;
  }
  release_if_large(output_.bytes());
  just_answered_ = true;
  last_served_ = now_;
  deadline_ = now_ + (input_.empty() ? bounds_.idle_time : bounds_.request_time);
  return true;
}

// False when nothing came (blocked says what the connection waits for) or the connection ended.
bool Connection::receive(Wait& blocked) {
  std::array<char, kReadChunk> chunk;
  std::size_t got = 0;
  ERR_clear_error();
  const int done = SSL_read_ex(ssl_.get(), chunk.data(), chunk.size(), &got);
  if (done != 1) {
    blocked = after_failure(done);
    return false;
  }
  // A request begins: its time counts from now, not from the turn's start.
  if (input_.empty()) deadline_ = Clock::now() + bounds_.request_time;
  input_.append(chunk.data(), got);
  ++turn_;
  just_answered_ = false;
  return true;
}

void Connection::begin_lingering() {
  ERR_clear_error();
  SSL_shutdown(ssl_.get());  // the close notification, when the socket takes it
  ERR_clear_error();
  ::shutdown(socket_, SHUT_WR);
  state_ = State::kLingering;
  deadline_ = now_ + kLingerTime;
}

Connection::Wait Connection::linger() {
  std::array<char, kReadChunk> dropped;
  for (std::size_t total = 0; total < kLingerBytesPerTurn;) {
    const ssize_t got = ::read(socket_, dropped.data(), dropped.size());
    if (got > 0) {
      total += static_cast<std::size_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Wait::kRead;
    state_ = State::kDone;  // the client closed, or the connection failed
    return Wait::kDone;
  }
  return Wait::kRead;  // the rest on another turn
}

}  // namespace velmora::daemon
