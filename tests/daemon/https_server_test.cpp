// The local API's connections under load: a flood of them, idle ones, slow readers, requests sent
// together or dribbled, stalled handshakes at the cap, and a stop with connections open. The
// server answers every route with a fixed text, and GET "/backend" with as many bytes of JSON as
// "X-Size" asks, as a kept body when "X-Kept" is given. Tests of a time or count bound build the
// server with a short bound of their own.
#include "velmora/daemon/server/https_server.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/eventually.hpp"
#include "testing/scoped_folder.hpp"
#include "testing/tls_certificate.hpp"
#include "testing/tls_connection.hpp"
#include "velmora/daemon/bounds.hpp"
#include "velmora/daemon/server/dispatcher.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/file_descriptor.hpp"

namespace velmora::daemon {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::TlsConnection;

constexpr std::string_view kGet = "GET /backend HTTP/1.1\r\nHost: localhost\r\n\r\n";

HandlerTable fixed_answers() {
  HandlerTable handlers;
  handlers.fill([](const ApiRequest& request) {
    const std::string_view size = request.header("X-Size");
    ApiAnswer answer{200, size.empty() ? "ok" : std::string(std::stoul(std::string(size)), 'a')};
    if (!size.empty()) answer.content_type = kJsonContentType;
    if (!request.header("X-Kept").empty())
      answer.kept_body = std::make_shared<const std::string>(std::move(answer.body));
    return answer;
  });
  return handlers;
}

std::size_t entries_of(const char* folder) {
  const auto entries = std::filesystem::directory_iterator(folder);
  return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}
std::size_t threads() { return entries_of("/proc/self/task"); }
std::size_t descriptors() { return entries_of("/proc/self/fd"); }

// Whether the answer is a 200 with a body of size bytes.
bool whole(const std::string& answer, std::size_t size) {
  return answer.starts_with("HTTP/1.1 200 ") && answer.size() > size &&
         answer.find("\r\n\r\n") == answer.size() - size - 4;
}

// An answer far larger than what the sockets between client and server hold.
constexpr std::size_t kLargeAnswer = std::size_t{8} << 20;

// A request for an answer of size bytes.
std::string get_of_size(std::size_t size) {
  return "GET /backend HTTP/1.1\r\nHost: localhost\r\nX-Size: " + std::to_string(size) +
         "\r\n\r\n";
}

// Whether the large answer of each connection, each read on a thread of its own after what was
// read of it already, arrives whole.
bool read_at_once(std::vector<std::unique_ptr<TlsConnection>>& connections,
                  const std::vector<std::string>& read_already) {
  std::vector<std::future<bool>> readers;
  for (std::size_t i = 0; i < connections.size(); ++i)
    readers.push_back(std::async(std::launch::async, [&connection = *connections[i],
                                                      &start = read_already[i]] {
      return whole(start + connection.read_answer(), kLargeAnswer);
    }));
  bool all = true;
  for (auto& reader : readers) all = reader.get() && all;
  return all;
}

// What a reader gets that pauses for pause after every 256 KiB it reads, until an answer with a
// body of body_size bytes has come, or the server closed the connection.
std::string read_slowly(TlsConnection& connection, std::size_t body_size,
                        std::chrono::milliseconds pause) {
  constexpr std::size_t kBetweenPauses = std::size_t{256} << 10;
  std::string got;
  std::size_t end = std::string::npos;
  for (std::size_t next_pause = 0; got.size() < end;) {
    if (got.size() >= next_pause) {
      std::this_thread::sleep_for(pause);
      next_pause += kBetweenPauses;
    }
    const std::string some = connection.read_some(kBetweenPauses);
    if (some.empty()) break;
    got += some;
    if (end != std::string::npos) continue;
    if (const std::size_t head_end = got.find("\r\n\r\n"); head_end != std::string::npos)
      end = head_end + 4 + body_size;
  }
  return got;
}

// A TCP connection that sends the 5-byte header of a TLS record and stalls.
utils::FileDescriptor stalled_handshake(int port) {
  utils::FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  constexpr char kRecordHeader[] = {0x16, 0x03, 0x01, 0x02, 0x00};
  if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::send(socket.get(), kRecordHeader, sizeof kRecordHeader, MSG_NOSIGNAL) !=
          static_cast<ssize_t>(sizeof kRecordHeader))
    throw utils::RuntimeError("cannot stall a handshake on port " + std::to_string(port));
  return socket;
}

// A write to a connection the server has closed fails on this thread, rather than raising
// SIGPIPE.
void block_broken_pipe_signal() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

class ServedConnections : public ::testing::Test {
 protected:
  ServedConnections() { serve({}); }
  ~ServedConnections() override { stop(); }

  // Serves afresh within bounds, once a first request has been answered.
  void serve(const ServerBounds& bounds) {
    stop();
    server_ = std::make_unique<HttpsServer>(&dispatcher_, tls_.cert, tls_.key, bounds);
    server_->bind("127.0.0.1", 0);
    const std::size_t threads_alone = threads();
    serving_ = std::async(std::launch::async, [this] { server_->serve(); });
    EXPECT_TRUE(eventually([&] { return threads() >= threads_alone + bounds.serving_threads; }));
    TlsConnection first(port());
    first.write(kGet);
    EXPECT_TRUE(whole(first.read_answer(), 2));
  }
  void stop() {
    if (!server_) return;
    server_->stop();
    serving_.get();
    server_.reset();
  }
  int port() const { return server_->port(); }

  // Serves afresh with at most max_connections, none of which goes by its own time meanwhile,
  // once the first client's connection has gone, so that none leaves by itself afterwards.
  ServerBounds serve_capped(std::size_t max_connections) {
    ServerBounds bounds;
    bounds.max_connections = max_connections;
    bounds.serving_threads = 2;
    bounds.handshake_time = bounds.idle_time = 60s;
    serve(bounds);
    EXPECT_TRUE(eventually([&] { return server_->connections() == 0; }));
    return bounds;
  }

  // A new client's request, answered.
  bool served_afresh() {
    try {
      TlsConnection client(port());
      client.write(kGet);
      return whole(client.read_answer(), 2);
    } catch (const utils::RuntimeError&) {
      return false;
    }
  }

  testing::ScopedFolder folder_;
  testing::TlsFiles tls_ = testing::make_self_signed_certificate(folder_.path(), "api");
  Dispatcher dispatcher_{fixed_answers()};
  std::unique_ptr<HttpsServer> server_;
  std::future<void> serving_;
};

// More silent connections than the cap: the server holds at most the cap, each closed in its turn
// for a newer one, on its fixed threads; a new client is still served.
TEST_F(ServedConnections, AFloodOfSilentConnectionsStaysWithinTheBounds) {
  constexpr std::size_t kFlood = 5000;
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max < kFlood + kMaxConnections + 100) GTEST_SKIP() << "too few descriptors";
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);

  const std::size_t threads_before = threads();
  const std::size_t descriptors_before = descriptors();
  std::vector<std::unique_ptr<TlsConnection>> flood;
  std::size_t most = 0;
  for (std::size_t i = 0; i < kFlood; ++i) {
    flood.push_back(std::make_unique<TlsConnection>(port(), false));
    if (i % 100 == 0) most = std::max(most, server_->connections());
  }
  EXPECT_TRUE(eventually([&] { return server_->connections() == kMaxConnections; }));
  EXPECT_LE(std::max(most, server_->connections()), kMaxConnections);
  EXPECT_EQ(threads(), threads_before);
  // One more while a newcomer is accepted, before the longest idle one is closed for it.
  EXPECT_LE(descriptors(), descriptors_before + kFlood + kMaxConnections + 1);
  EXPECT_TRUE(served_afresh());
}

// A connection with no request under way is closed once its idle time has passed: one that never
// spoke, and one kept after its answer.
TEST_F(ServedConnections, IdleConnectionsAreClosed) {
  ServerBounds bounds;
  bounds.idle_time = 1s;
  serve(bounds);
  std::vector<std::unique_ptr<TlsConnection>> silent, kept;
  for (int i = 0; i < 10; ++i) {
    silent.push_back(std::make_unique<TlsConnection>(port(), false));
    kept.push_back(std::make_unique<TlsConnection>(port()));
    kept.back()->write(kGet);
    EXPECT_TRUE(whole(kept.back()->read_answer(), 2));
  }
  EXPECT_TRUE(eventually([&] { return server_->connections() == 0; }, 20 * bounds.idle_time));
  for (auto& connection : kept) EXPECT_EQ(connection->read_until_closed(), "");
}

// A handshake begun and not done within its own time, far shorter than the idle time, is closed.
TEST_F(ServedConnections, StalledHandshakesAreClosedAtTheirBound) {
  ServerBounds bounds;
  bounds.handshake_time = 500ms;
  bounds.idle_time = 60s;
  serve(bounds);
  std::vector<utils::FileDescriptor> stalled;
  for (int i = 0; i < 10; ++i) stalled.push_back(stalled_handshake(port()));
  // Each closed: the count alone may be 0 before the server has accepted them.
  const auto closed = [](const utils::FileDescriptor& socket) {
    char byte = 0;
    return ::recv(socket.get(), &byte, 1, MSG_DONTWAIT) == 0;
  };
  EXPECT_TRUE(eventually([&] { return std::ranges::all_of(stalled, closed); },
                         20 * bounds.handshake_time));
  EXPECT_EQ(server_->connections(), 0u);
}

// Answers larger than the socket takes wait for their readers without a thread each: with more
// of them waiting than there are serving threads, a new client is served, and each answer then
// arrives whole to its reader, all of them reading at once.
TEST_F(ServedConnections, AnswersWaitingForSlowReadersHoldNoThread) {
  std::vector<std::unique_ptr<TlsConnection>> slow;
  for (std::size_t i = 0; i <= kServingThreads; ++i) {
    slow.push_back(std::make_unique<TlsConnection>(port(), true, 4096));
    slow.back()->write(get_of_size(kLargeAnswer));
  }
  EXPECT_TRUE(served_afresh());
  EXPECT_TRUE(read_at_once(slow, std::vector<std::string>(slow.size())));
}

// The time to send an answer counts while the socket takes none of it: a reader that goes on
// reading, slowly, for far longer than that time gets its answer whole; one that stops reading
// is cut off.
TEST_F(ServedConnections, AnAnswerIsCutOnlyWhenItsReaderStops) {
  ServerBounds bounds;
  bounds.request_time = 3s;
  serve(bounds);
  TlsConnection slow(port(), true, 4096);
  TlsConnection stopping(port(), true, 4096);
  slow.write(get_of_size(kLargeAnswer));
  stopping.write(get_of_size(kLargeAnswer));
  EXPECT_FALSE(stopping.read_some(4096).empty());  // then it reads no more

  // 200 ms after every 256 KiB: 6.4 s at the least, each pause a fifteenth of the bound.
  const std::string answer = read_slowly(slow, kLargeAnswer, 200ms);
  EXPECT_TRUE(whole(answer, kLargeAnswer)) << answer.size();

  // Once the server has cut it (the slow one may still be open), the rest comes short.
  EXPECT_TRUE(eventually([&] { return server_->connections() <= 1; }, 20 * bounds.request_time));
  EXPECT_LT(stopping.read_until_closed().size(), kLargeAnswer);
}

// Requests sent in one piece are answered in order, the last one's "Connection: close" heeded.
TEST_F(ServedConnections, RequestsSentTogetherAreAnsweredInOrder) {
  TlsConnection client(port());
  client.write("GET /backend HTTP/1.1\r\nHost: x\r\nX-Size: 1\r\n\r\n"
               "POST /register HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}"
               "GET /backend HTTP/1.1\r\nHost: x\r\nX-Size: 3\r\nConnection: close\r\n\r\n");
  EXPECT_TRUE(whole(client.read_answer(), 1));
  EXPECT_TRUE(whole(client.read_answer(), 2));
  const std::string last = client.read_until_closed();
  EXPECT_TRUE(whole(last, 3)) << last;
  EXPECT_NE(last.find("Connection: close"), std::string::npos);
}

// An answer with a kept body has the very bytes of one with a body of its own: a large one written
// in many pieces to a slow reader, a HEAD answer without it, requests sent together, and a last
// answer that closes the connection; neither is compressed for a client that would take it.
TEST_F(ServedConnections, AKeptBodyGoesOutAsABodyOfTheAnswersOwn) {
  const auto answers = [&](std::string kept) {
    kept += "Accept-Encoding: gzip, br\r\n";
    TlsConnection client(port(), true, 4096);
    client.write("GET /backend HTTP/1.1\r\nHost: x\r\nX-Size: 1000000\r\n" + kept + "\r\n");
    std::string read = client.read_answer();
    client.write("HEAD /backend HTTP/1.1\r\nHost: x\r\nX-Size: 7\r\n" + kept + "\r\n"
                 "GET /backend HTTP/1.1\r\nHost: x\r\nX-Size: 5\r\n" + kept + "\r\n"
                 "GET /backend HTTP/1.1\r\nHost: x\r\nX-Size: 3\r\n" + kept +
                 "Connection: close\r\n\r\n");
    return read + client.read_until_closed();
  };
  const std::string own = answers("");
  EXPECT_EQ(answers("X-Kept: 1\r\n"), own);
  const std::size_t head_answer = own.find("HTTP/1.1", 1);
  EXPECT_TRUE(whole(own.substr(0, head_answer), 1000000));
  const std::size_t after_head = own.find("\r\n\r\n", head_answer) + 4;
  EXPECT_NE(own.substr(head_answer, after_head - head_answer).find("Content-Length: 7\r\n"),
            std::string::npos);
  EXPECT_TRUE(own.substr(after_head).starts_with("HTTP/1.1 200 ")) << "a HEAD answer has no body";
  EXPECT_TRUE(own.ends_with("\r\n\r\naaa"));
}

// A request whose head or body passes its bound is refused whole, and its connection closed.
TEST_F(ServedConnections, ARequestPastItsBoundsIsRefusedAndItsConnectionClosed) {
  std::string head = "GET /backend HTTP/1.1\r\nHost: x\r\n";
  while (head.size() <= kMaxRequestHead) head += "X-Filler: " + std::string(4000, 'f') + "\r\n";
  const std::string post = "POST /register HTTP/1.1\r\nHost: x\r\n";
  std::string chunked = post + "Transfer-Encoding: chunked\r\n\r\n";
  while (chunked.size() <= kMaxRequestBody + (1 << 16))
    chunked += "10000\r\n" + std::string(1 << 16, 'c') + "\r\n";
  const std::string too_long = post + "Content-Length: " + std::to_string(kMaxRequestBody + 1) +
                               "\r\n\r\n" + std::string(kMaxRequestBody + 1, 'b');
  for (const auto& [request, status] :
       {std::pair{head + "\r\n", "400"}, {chunked, "400"}, {too_long, "413"}}) {
    TlsConnection client(port());
    client.write(request);
    const std::string answer = client.read_until_closed();
    EXPECT_TRUE(answer.starts_with(std::string("HTTP/1.1 ") + status + " "))
        << answer.substr(0, 100);
  }
  EXPECT_TRUE(served_afresh());
}

// A request sent a piece at a time, each piece in a TLS record of its own: a body of one-byte
// chunks, or a head that never ends.
struct Dribble {
  std::string_view start;
  std::string_view piece;
};
constexpr Dribble kDribbles[] = {
    {"POST /register HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n", "1\r\nX\r\n"},
    {"GET /backend HTTP/1.1\r\nHost: x\r\nX-Long: ", "a"},
};

// A request that has not come whole within its time of its first byte is closed, without an
// answer, though its client goes on sending; meanwhile a new client is served.
TEST_F(ServedConnections, DribbledRequestsAreClosedAtTheirBound) {
  ServerBounds bounds;
  bounds.serving_threads = 2;
  bounds.request_time = 1s;
  serve(bounds);
  for (const Dribble& dribble : kDribbles) {
    SCOPED_TRACE(dribble.start);
    // Each dribbler: how long its connection lasted from its first byte, and what came back.
    std::vector<std::future<std::pair<std::chrono::milliseconds, std::string>>> dribblers;
    for (std::size_t i = 0; i < 2 * bounds.serving_threads; ++i)
      dribblers.push_back(std::async(std::launch::async, [this, &dribble] {
        block_broken_pipe_signal();
        TlsConnection connection(port());
        const auto first_byte = std::chrono::steady_clock::now();
        try {
          connection.write(dribble.start);
          for (int piece = 0; piece < 2000; ++piece) {  // 20 times the bound, in pieces of 10 ms
            connection.write(dribble.piece);
            std::this_thread::sleep_for(10ms);
          }
        } catch (const utils::RuntimeError&) {
          // the server closed it
        }
        return std::pair{std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - first_byte),
                         connection.read_until_closed()};
      }));
    EXPECT_TRUE(served_afresh());
    for (auto& dribbler : dribblers) {
      const auto [lasted, answer] = dribbler.get();
      EXPECT_GE(lasted, bounds.request_time);
      EXPECT_LT(lasted, 20 * bounds.request_time);
      EXPECT_EQ(answer, "");  // closed for its time, not refused for its size
    }
  }
}

// Clients that dribble as fast as the socket takes their records, more of them than there are
// serving threads and each opening another connection when one is closed, leave the threads to
// a new client in turn.
TEST_F(ServedConnections, FastDribblersLeaveTheThreadsToOthers) {
  ServerBounds bounds;
  bounds.serving_threads = 2;
  serve(bounds);
  for (const Dribble& dribble : kDribbles) {
    SCOPED_TRACE(dribble.start);
    std::atomic<bool> done = false;
    std::atomic<std::size_t> pieces = 0;
    std::vector<std::thread> dribblers;
    for (std::size_t i = 0; i < 2 * bounds.serving_threads; ++i)
      dribblers.emplace_back([&] {
        block_broken_pipe_signal();
        while (!done.load()) {
          try {
            TlsConnection connection(port());
            connection.write(dribble.start);
            while (!done.load()) {
              connection.write(dribble.piece);
              ++pieces;
            }
          } catch (const utils::RuntimeError&) {
            // closed at a bound: another one
          }
        }
      });
    EXPECT_TRUE(eventually([&] { return pieces.load() > 10000; }));
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(served_afresh());
    done = true;
    for (std::thread& dribbler : dribblers) dribbler.join();
  }
}

// At the cap a newcomer is served: it displaces a connection that stalled in its handshake, or
// one whose request has not come whole, the oldest first.
TEST_F(ServedConnections, StalledConnectionsAtTheCapGiveWayToANewcomer) {
  const ServerBounds bounds = serve_capped(8);
  std::vector<utils::FileDescriptor> stalled;
  for (std::size_t i = 0; i < 2 * bounds.max_connections; ++i)
    stalled.push_back(stalled_handshake(port()));
  EXPECT_TRUE(eventually([&] { return server_->connections() == bounds.max_connections; }))
      << server_->connections();
  EXPECT_TRUE(served_afresh());

  std::vector<std::unique_ptr<TlsConnection>> begun;
  for (std::size_t i = 0; i < bounds.max_connections; ++i) {
    begun.push_back(std::make_unique<TlsConnection>(port()));
    begun.back()->write("GET /backend HTTP/1.1\r\n");
  }
  EXPECT_TRUE(served_afresh());
  EXPECT_LE(server_->connections(), bounds.max_connections);
  EXPECT_EQ(begun.front()->read_until_closed(), "");  // the oldest went for it
}

// At the cap, a kept connection answered lately outlives older ones that never were answered.
TEST_F(ServedConnections, AConnectionAnsweredLatelyOutlivesOlderSilentOnes) {
  const ServerBounds bounds = serve_capped(4);
  TlsConnection kept(port());  // the oldest
  std::vector<utils::FileDescriptor> stalled;
  for (std::size_t i = 1; i < bounds.max_connections; ++i)
    stalled.push_back(stalled_handshake(port()));
  ASSERT_TRUE(eventually([&] { return server_->connections() == bounds.max_connections; }));
  kept.write(kGet);
  ASSERT_TRUE(whole(kept.read_answer(), 2));
  EXPECT_TRUE(served_afresh());  // in place of the oldest stalled one
  kept.write(kGet);
  EXPECT_TRUE(whole(kept.read_answer(), 2));
}

// A newcomer is closed at once only when every connection holds a request being answered.
TEST_F(ServedConnections, ANewcomerIsRefusedWhenEveryConnectionIsBeingAnswered) {
  ServerBounds bounds;
  bounds.max_connections = 4;
  bounds.serving_threads = 2;
  serve(bounds);
  std::vector<std::unique_ptr<TlsConnection>> waiting;
  std::vector<std::string> begun;  // the first byte of each answer
  for (std::size_t i = 0; i < bounds.max_connections; ++i) {
    waiting.push_back(std::make_unique<TlsConnection>(port(), true, 4096));
    waiting.back()->write(get_of_size(kLargeAnswer));
    begun.push_back(waiting.back()->read_some(1));
  }
  EXPECT_THROW(TlsConnection newcomer(port()), utils::RuntimeError);
  EXPECT_TRUE(read_at_once(waiting, begun));
  EXPECT_TRUE(served_afresh());
}

// A stop ends serving with connections open, idle or in the middle of a request, without waiting
// for them to end by themselves (a request's time is far longer than the wait here).
TEST_F(ServedConnections, AStopWaitsForNoOpenConnection) {
  static_assert(kRequestTime > 20s);
  std::vector<std::unique_ptr<TlsConnection>> open;
  for (int i = 0; i < 20; ++i) {
    open.push_back(std::make_unique<TlsConnection>(port()));
    open.back()->write(i % 2 ? std::string(kGet) : "GET /backend HTTP/1.1\r\n");
  }
  EXPECT_TRUE(eventually([&] { return server_->connections() == 20; }));
  server_->stop();
  EXPECT_EQ(serving_.wait_for(20s), std::future_status::ready);
  for (auto& connection : open) connection->read_until_closed();  // the server closed them
}

}  // namespace
}  // namespace velmora::daemon
