#include "testing/raw_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "velmora/utils/error.hpp"

namespace velmora::testing {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw utils::RuntimeError("raw test server: " + what + ": " + std::strerror(errno));
}

// The Content-Length of a header block, 0 when it has none.
std::size_t content_length(std::string head) {
  for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const auto at = head.find("\r\ncontent-length:");
  return at == std::string::npos ? 0 : std::stoul(head.substr(at + 17));
}

}  // namespace

RawServer::RawServer(Handler handler) : handler_(std::move(handler)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      ::listen(listener_, 16) != 0)
    fail("cannot listen on 127.0.0.1");
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

RawServer::RawServer(Handler handler, const std::filesystem::path& socket_path)
    : handler_(std::move(handler)), socket_path_(socket_path) {
  listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = socket_path.string();
  if (path.size() >= sizeof address.sun_path) throw utils::ValueError("socket path too long");
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (listener_ < 0 ||
      ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0)
    fail("cannot listen on " + path);
  acceptor_ = std::thread([this] { accept_loop(); });
}

RawServer::~RawServer() {
  stopping_ = true;
  ::shutdown(listener_, SHUT_RDWR);  // wakes the accept
  acceptor_.join();
  ::close(listener_);
  if (!socket_path_.empty()) ::unlink(socket_path_.c_str());
  std::lock_guard lock(mutex_);
  for (const int connection : connections_) ::shutdown(connection, SHUT_RDWR);
  for (std::thread& worker : workers_) worker.join();
  for (const int connection : connections_) ::close(connection);
}

void RawServer::accept_loop() {
  for (;;) {
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (stopping_) {
      if (connection >= 0) ::close(connection);
      return;
    }
    if (connection < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    std::lock_guard lock(mutex_);
    connections_.push_back(connection);
    workers_.emplace_back([this, connection] {
      handler_(connection);
      ::shutdown(connection, SHUT_RDWR);  // the answer ends here; the fd closes with the server
    });
  }
}

std::string read_request(int socket) {
  std::string request;
  std::size_t wanted = std::string::npos;  // the whole request's size, once the head is known
  char buffer[1 << 16];
  while (request.size() < wanted) {
    const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    request.append(buffer, static_cast<std::size_t>(got));
    if (wanted == std::string::npos) {
      const auto head_end = request.find("\r\n\r\n");
      if (head_end != std::string::npos)
        wanted = head_end + 4 + content_length(request.substr(0, head_end));
    }
  }
  return request;
}

bool send_text(int socket, std::string_view text) {
  while (!text.empty()) {
    const ssize_t sent = ::send(socket, text.data(), text.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

}  // namespace velmora::testing
