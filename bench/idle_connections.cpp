// Opens many TLS connections to a local HTTPS server, each asking GET <path> once and then left
// idle with keep-alive, and times a new client's request while they stay open; given the server's
// process id, also tells its resident memory, threads and descriptors meanwhile.
// Usage: idle_connections <port> <connections> <path> [server-pid]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tls_client.hpp"

namespace {

using bench::TlsClient;

// Connects, shakes hands, sends one request and reads its answer; null on any failure.
std::unique_ptr<TlsClient> request_once(SSL_CTX* context, int port, const std::string& request) {
  auto connection = bench::connect_tls(context, port, std::chrono::seconds(60));
  if (!connection || !bench::write_all(*connection, request)) return nullptr;
  char answer[4096];
  if (SSL_read(connection->ssl, answer, sizeof answer) <= 0) return nullptr;
  return connection;
}

double milliseconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s <port> <connections> <path> [server-pid]\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const int count = std::atoi(argv[2]);
  const std::string request =
      std::string("GET ") + argv[3] + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
  const auto context = bench::client_setup();

  std::mutex mutex;
  std::vector<std::unique_ptr<TlsClient>> idle;
  std::atomic<int> next = 0, failed = 0;
  const auto opening = std::chrono::steady_clock::now();
  std::vector<std::thread> openers;
  for (int t = 0; t < 16; ++t)
    openers.emplace_back([&] {
      while (next++ < count) {
        auto connection = request_once(context.get(), port, request);
        if (!connection) {
          ++failed;
          continue;
        }
        std::lock_guard lock(mutex);
        idle.push_back(std::move(connection));
      }
    });
  for (auto& opener : openers) opener.join();
  std::printf("%zu idle connections open (%d failed) after %.0f ms\n", idle.size(), failed.load(),
              milliseconds_since(opening));

  if (argc == 5) {
    const std::string process = std::string("/proc/") + argv[4];
    std::ifstream status(process + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.starts_with("VmRSS:") || line.starts_with("Threads:"))
        std::printf("server %s\n", line.c_str());
    const auto fds = std::filesystem::directory_iterator(process + "/fd");
    std::printf("server descriptors: %td\n", std::distance(begin(fds), end(fds)));
  }

  std::vector<double> times;
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const bool served = request_once(context.get(), port, request) != nullptr;
    times.push_back(milliseconds_since(start));
    if (!served) std::printf("new client %d: not served\n", i);
  }
  std::sort(times.begin(), times.end());
  std::printf("a new client's connection and request with them open: median %.1f ms, max %.1f ms\n",
              times[2], times[4]);
  return 0;
}
