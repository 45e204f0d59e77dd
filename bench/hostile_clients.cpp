// Holds hostile local clients against a local HTTPS server for a while and times a fresh client's
// GET <path> meanwhile, each on a new connection, one after another:
// - none: no hostile client, for the figures beside;
// - dribble: POST /authenticate with a body of one-byte chunks, each chunk in a TLS record of its
//   own, sent as fast as the socket takes them; a connection the server closes is opened again;
// - stalled: TCP connections that send the 5-byte header of a TLS record and stop; opened again
//   as soon as the server closes them;
// - slow: TLS connections that begin a request and send one more header byte every 3 s; opened
//   again when the server closes them.
// The hostile clients' threads run at the lowest priority, so that the fresh client's times are
// the server's and not those of a client machine whose cores the hostile threads hold.
// Prints the fresh client's p50, p99 and worst time and how many got no answer within 5 s; for
// dribblers the bytes they sent and the longest a dribbling connection stayed open (to the end of
// the hold, for one still open then).
// Usage: hostile_clients <port> <none|dribble|stalled|slow> <connections> <seconds> <path>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tls_client.hpp"

namespace {

using Clock = std::chrono::steady_clock;

using bench::connect_tls;
using bench::loopback;
using bench::write_all;

double milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

void lowest_priority() { setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19); }

// Dribblers: each writes one-byte chunks until its connection fails, then opens another.
void dribble(SSL_CTX* context, int port, const std::atomic<bool>& done,
             std::atomic<std::uint64_t>& bytes, std::atomic<std::int64_t>& longest_ms) {
  lowest_priority();
  constexpr std::string_view kHead =
      "POST /authenticate HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n";
  constexpr std::string_view kChunk = "1\r\nX\r\n";
  while (!done.load()) {
    const auto connection = connect_tls(context, port, std::chrono::seconds(60));
    if (!connection) continue;
    const Clock::time_point first_byte = Clock::now();
    if (!write_all(*connection, kHead)) continue;
    std::uint64_t sent = kHead.size();
    while (!done.load() && write_all(*connection, kChunk)) sent += kChunk.size();
    bytes += sent;
    const auto lasted = std::chrono::duration_cast<std::chrono::milliseconds>(
                            Clock::now() - first_byte).count();
    std::int64_t before = longest_ms.load();
    while (lasted > before && !longest_ms.compare_exchange_weak(before, lasted)) {
    }
  }
}

// Stalled handshakes: non-blocking connections, each opened again once the server closes it.
void stall(int port, int count, const std::atomic<bool>& done,
           std::atomic<std::uint64_t>& reopened) {
  lowest_priority();
  constexpr char kRecordHeader[] = {0x16, 0x03, 0x01, 0x02, 0x00};
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  const sockaddr_in address = loopback(port);
  std::unordered_map<int, bool> greeted;  // socket: its 5 bytes went
  const auto open_one = [&] {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) return;
    connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    epoll_event event{.events = EPOLLOUT | EPOLLRDHUP, .data = {.fd = s}};
    epoll_ctl(epoll, EPOLL_CTL_ADD, s, &event);
    greeted[s] = false;
  };
  for (int i = 0; i < count; ++i) open_one();
  std::vector<epoll_event> events(256);
  while (!done.load()) {
    const int ready = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 100);
    for (int i = 0; i < ready; ++i) {
      const int s = events[i].data.fd;
      const bool closed = events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR);
      if (!closed && !greeted[s]) {
        send(s, kRecordHeader, sizeof kRecordHeader, MSG_NOSIGNAL);
        greeted[s] = true;
        epoll_event event{.events = EPOLLIN | EPOLLRDHUP, .data = {.fd = s}};
        epoll_ctl(epoll, EPOLL_CTL_MOD, s, &event);
      } else if (closed) {
        close(s);
        greeted.erase(s);
        ++reopened;
        open_one();
      }
    }
  }
  for (const auto& [s, _] : greeted) close(s);
  close(epoll);
}

// Slow requests: every connection of this thread sends one more header byte every 3 s.
void slow(SSL_CTX* context, int port, int count, const std::atomic<bool>& done,
          std::atomic<std::uint64_t>& reopened) {
  lowest_priority();
  constexpr std::string_view kBegun = "POST /register HTTP/1.1\r\nHost: localhost\r\n";
  const auto open_one = [&]() -> std::unique_ptr<bench::TlsClient> {
    auto connection = connect_tls(context, port, std::chrono::seconds(5));
    if (connection && !write_all(*connection, kBegun)) connection.reset();
    return connection;
  };
  std::vector<std::unique_ptr<bench::TlsClient>> connections;
  for (int i = 0; i < count && !done.load(); ++i) connections.push_back(open_one());
  while (!done.load()) {
    const Clock::time_point round = Clock::now();
    for (auto& connection : connections) {
      if (done.load()) break;
      if (!connection || !write_all(*connection, "X")) {
        ++reopened;
        connection = open_one();
      }
    }
    while (!done.load() && Clock::now() - round < std::chrono::seconds(3))
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s <port> <none|dribble|stalled|slow> <connections> <seconds> "
                         "<path>\n", argv[0]);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const int port = std::atoi(argv[1]);
  const std::string attack = argv[2];
  const int count = std::atoi(argv[3]);
  const std::chrono::seconds hold(std::atoi(argv[4]));
  const std::string request =
      std::string("GET ") + argv[5] + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
  const auto context = bench::client_setup();

  std::atomic<bool> done = false;
  std::atomic<std::uint64_t> bytes = 0, reopened = 0;
  std::atomic<std::int64_t> longest_ms = 0;
  std::vector<std::thread> hostile;
  if (attack == "dribble") {
    for (int i = 0; i < count; ++i)
      hostile.emplace_back(dribble, context.get(), port, std::cref(done), std::ref(bytes),
                           std::ref(longest_ms));
  } else if (attack == "stalled") {
    hostile.emplace_back(stall, port, count, std::cref(done), std::ref(reopened));
  } else if (attack == "slow") {
    constexpr int kThreads = 16;
    for (int i = 0; i < kThreads; ++i)
      hostile.emplace_back(slow, context.get(), port, count / kThreads + (i < count % kThreads),
                           std::cref(done), std::ref(reopened));
  } else if (attack != "none") {
    std::fprintf(stderr, "unknown attack %s\n", attack.c_str());
    return 2;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));  // under way

  // The fresh client, one request on a new connection after another, until the hold ends.
  std::vector<double> times;
  int unanswered = 0;
  const Clock::time_point start = Clock::now();
  while (Clock::now() - start < hold) {
    const Clock::time_point asked = Clock::now();
    const auto connection = connect_tls(context.get(), port, std::chrono::seconds(5));
    char answer[512];
    const bool answered = connection && write_all(*connection, request) &&
                          SSL_read(connection->ssl, answer, sizeof answer) > 12 &&
                          std::strncmp(answer, "HTTP/1.1 200", 12) == 0;
    if (answered) times.push_back(milliseconds(Clock::now() - asked));
    else ++unanswered;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  done = true;
  for (std::thread& thread : hostile) thread.join();

  std::sort(times.begin(), times.end());
  const auto at = [&](double share) {
    return times.empty() ? 0.0 : times[std::min(times.size() - 1,
                                                static_cast<std::size_t>(share * times.size()))];
  };
  std::printf("fresh GET %s: %zu answered, %d not within 5 s; p50 %.1f ms, p99 %.1f ms, "
              "max %.1f ms", argv[5], times.size(), unanswered, at(0.5), at(0.99),
              times.empty() ? 0 : times.back());
  if (attack == "dribble")
    std::printf("; dribblers sent %.1f MB, the longest a dribbling connection stayed open %.1f s",
                bytes.load() / 1e6, longest_ms.load() / 1e3);
  if (attack == "stalled" || attack == "slow")
    std::printf("; %llu hostile connections closed by the server and opened again",
                static_cast<unsigned long long>(reopened.load()));
  std::printf("\n");
  return 0;
}
