#pragma once
// A server that hands each connection's socket to a function of the test, for the answers an
// HTTP server library never writes: cut-off header blocks, endless bodies, silence.
//
// Every connection runs on a thread of its own. Destroying the server shuts every connection
// down (so a handler blocked on its socket returns) and waits for the threads.

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace velmora::testing {

class RawServer {
 public:
  using Handler = std::function<void(int socket)>;

  // Listens on 127.0.0.1 at a free port.
  explicit RawServer(Handler handler);
  // Listens on a unix socket at socket_path, which it removes when it goes.
  RawServer(Handler handler, const std::filesystem::path& socket_path);
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;
  ~RawServer();

  int port() const noexcept { return port_; }

 private:
  void accept_loop();

  Handler handler_;
  std::filesystem::path socket_path_;  // empty over TCP
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;  // guards connections_ and workers_
  std::vector<int> connections_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

// Reads one request from socket: its header block and as many body bytes as its Content-Length
// says. Answers what it read; less when the peer closes first.
std::string read_request(int socket);

// Writes all of text to socket; false when the peer is gone.
bool send_text(int socket, std::string_view text);

}  // namespace velmora::testing
