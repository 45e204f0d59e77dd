#pragma once
// Serves an httplib server on a thread of its own while the object lives.

#include <httplib.h>

#include <filesystem>
#include <thread>

namespace velmora::testing {

class BackgroundServer {
 public:
  // Listens on 127.0.0.1 at a free port. *server must outlive this object.
  explicit BackgroundServer(httplib::Server* server);
  // Listens on a unix socket at socket_path.
  BackgroundServer(httplib::Server* server, const std::filesystem::path& socket_path);
  BackgroundServer(const BackgroundServer&) = delete;
  BackgroundServer& operator=(const BackgroundServer&) = delete;
  ~BackgroundServer();  // stops serving and waits for the thread

  int port() const noexcept { return port_; }

 private:
  void serve();

  httplib::Server* server_;
  int port_ = 0;
  std::thread thread_;
};

// A TCP port on 127.0.0.1 that nothing listens on (at the moment of the call).
int unused_tcp_port();

}  // namespace velmora::testing
