// The local API's connections under load: a flood of them, idle ones, slow readers, requests sent
// together, and a stop with connections open. The server answers every route with a fixed text,
// and GET "/backend" with as many bytes of JSON as "X-Size" asks, as a kept body when "X-Kept" is
// given.
#include "velmora/daemon/server/https_server.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

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

class ServedConnections : public ::testing::Test {
 protected:
  ServedConnections() {
    server_.bind("127.0.0.1", 0);
    const std::size_t threads_alone = threads();
    serving_ = std::async(std::launch::async, [this] { server_.serve(); });
    EXPECT_TRUE(eventually([&] { return threads() >= threads_alone + kServingThreads; }));
    TlsConnection first(server_.port());
    first.write(kGet);
    EXPECT_TRUE(whole(first.read_answer(), 2));
  }
  ~ServedConnections() override {
    server_.stop();
    serving_.get();
  }

  // A new client's request, answered.
  bool served_afresh() {
    TlsConnection client(server_.port());
    client.write(kGet);
    return whole(client.read_answer(), 2);
  }

  testing::ScopedFolder folder_;
  testing::TlsFiles tls_ = testing::make_self_signed_certificate(folder_.path(), "api");
  Dispatcher dispatcher_{fixed_answers()};
  HttpsServer server_{&dispatcher_, tls_.cert, tls_.key};
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
    flood.push_back(std::make_unique<TlsConnection>(server_.port(), false));
    if (i % 100 == 0) most = std::max(most, server_.connections());
  }
  EXPECT_TRUE(eventually([&] { return server_.connections() == kMaxConnections; }));
  EXPECT_LE(std::max(most, server_.connections()), kMaxConnections);
  EXPECT_EQ(threads(), threads_before);
  // One more while a newcomer is accepted, before the longest idle one is closed for it.
  EXPECT_LE(descriptors(), descriptors_before + kFlood + kMaxConnections + 1);
  EXPECT_TRUE(served_afresh());
}

// A connection with no request under way is closed once its idle time has passed: one that never
// spoke, and one kept after its answer.
TEST_F(ServedConnections, IdleConnectionsAreClosed) {
  std::vector<std::unique_ptr<TlsConnection>> silent, kept;
  for (int i = 0; i < 10; ++i) {
    silent.push_back(std::make_unique<TlsConnection>(server_.port(), false));
    kept.push_back(std::make_unique<TlsConnection>(server_.port()));
    kept.back()->write(kGet);
    EXPECT_TRUE(whole(kept.back()->read_answer(), 2));
  }
  EXPECT_TRUE(eventually([&] { return server_.connections() == 0; }, kIdleConnectionTime + 20s));
  for (auto& connection : kept) EXPECT_EQ(connection->read_until_closed(), "");
}

// Answers larger than the socket takes wait for their readers without a thread each: with more
// of them waiting than there are serving threads, a new client is served, and each answer then
// arrives whole.
TEST_F(ServedConnections, AnswersWaitingForSlowReadersHoldNoThread) {
  constexpr std::size_t kSize = std::size_t{8} << 20;
  std::vector<std::unique_ptr<TlsConnection>> slow;
  for (std::size_t i = 0; i <= kServingThreads; ++i) {
    slow.push_back(std::make_unique<TlsConnection>(server_.port(), true, 4096));
    slow.back()->write("GET /backend HTTP/1.1\r\nHost: localhost\r\nX-Size: " +
                       std::to_string(kSize) + "\r\n\r\n");
  }
  EXPECT_TRUE(served_afresh());
  for (auto& connection : slow) EXPECT_TRUE(whole(connection->read_answer(), kSize));
}

// Requests sent in one piece are answered in order, the last one's "Connection: close" heeded.
TEST_F(ServedConnections, RequestsSentTogetherAreAnsweredInOrder) {
  TlsConnection client(server_.port());
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
    TlsConnection client(server_.port(), true, 4096);
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
    TlsConnection client(server_.port());
    client.write(request);
    const std::string answer = client.read_until_closed();
    EXPECT_TRUE(answer.starts_with(std::string("HTTP/1.1 ") + status + " "))
        << answer.substr(0, 100);
  }
  EXPECT_TRUE(served_afresh());
}

// A stop ends serving with connections open, idle or in the middle of a request, without waiting
// for them to end by themselves (a request's time is far longer than the wait here).
TEST_F(ServedConnections, AStopWaitsForNoOpenConnection) {
  static_assert(kRequestTime > 20s);
  std::vector<std::unique_ptr<TlsConnection>> open;
  for (int i = 0; i < 20; ++i) {
    open.push_back(std::make_unique<TlsConnection>(server_.port()));
    open.back()->write(i % 2 ? std::string(kGet) : "GET /backend HTTP/1.1\r\n");
  }
  EXPECT_TRUE(eventually([&] { return server_.connections() == 20; }));
  server_.stop();
  EXPECT_EQ(serving_.wait_for(20s), std::future_status::ready);
  for (auto& connection : open) connection->read_until_closed();  // the server closed them
}

}  // namespace
}  // namespace velmora::daemon
