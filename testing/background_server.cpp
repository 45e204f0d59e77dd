#include "testing/background_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "velmora/utils/error.hpp"

namespace velmora::testing {

BackgroundServer::BackgroundServer(httplib::Server* server) : server_(server) {
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw utils::RuntimeError("test server cannot bind to 127.0.0.1");
  serve();
}

BackgroundServer::BackgroundServer(httplib::Server* server,
                                   const std::filesystem::path& socket_path)
    : server_(server) {
  server_->set_address_family(AF_UNIX);
  if (!server_->bind_to_port(socket_path.string(), 80))
    throw utils::RuntimeError("test server cannot bind to " + socket_path.string());
  serve();
}

void BackgroundServer::serve() {
  // Clients keep their connections open for later requests; stopping waits for each one's
  // keep-alive time to run out.
  server_->set_keep_alive_timeout(1);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only ends a server that is already running.
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

BackgroundServer::~BackgroundServer() {
  server_->stop();
  thread_.join();
}

int unused_tcp_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw utils::RuntimeError("cannot find a free TCP port");
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace velmora::testing
