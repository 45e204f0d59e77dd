#include "testing/tls_connection.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <strings.h>

#include "velmora/utils/error.hpp"

namespace velmora::testing {

TlsConnection::TlsConnection(int port, bool handshake, int receive_buffer) {
  socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{60, 0};
  if (socket_ < 0 ||
      ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
      (receive_buffer > 0 && ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &receive_buffer,
                                          sizeof receive_buffer) != 0) ||
      ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw utils::RuntimeError("cannot connect to port " + std::to_string(port));
  if (!handshake) return;
  context_.reset(SSL_CTX_new(TLS_client_method()));
  ssl_.reset(context_ ? SSL_new(context_.get()) : nullptr);
  if (!ssl_ || SSL_set_fd(ssl_.get(), socket_) != 1 || SSL_connect(ssl_.get()) != 1)
    throw utils::RuntimeError("TLS handshake with port " + std::to_string(port) + " failed");
}

TlsConnection::~TlsConnection() {
  ssl_.reset();
  if (socket_ >= 0) ::close(socket_);
}

void TlsConnection::write(std::string_view bytes) {
  if (!ssl_ || SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size())) !=
                   static_cast<int>(bytes.size()))
    throw utils::RuntimeError("TLS write failed");
}

bool TlsConnection::read_more() {
  char chunk[4096];
  const int got = ssl_ ? SSL_read(ssl_.get(), chunk, sizeof chunk) : 0;
  if (got <= 0) return false;
  buffer_.append(chunk, static_cast<std::size_t>(got));
  return true;
}

std::string TlsConnection::read_answer() {
  std::size_t end_of_headers;
  while ((end_of_headers = buffer_.find("\r\n\r\n")) == std::string::npos)
    if (!read_more()) throw utils::RuntimeError("the answer ended within its headers");
  std::size_t length = 0;
  for (std::size_t line = buffer_.find("\r\n") + 2; line < end_of_headers;) {
    const std::size_t next = buffer_.find("\r\n", line);
    constexpr std::string_view kLength = "content-length:";
    if (::strncasecmp(buffer_.c_str() + line, kLength.data(), kLength.size()) == 0)
      length = std::strtoul(buffer_.c_str() + line + kLength.size(), nullptr, 10);
    line = next + 2;
  }
  const std::size_t total = end_of_headers + 4 + length;
  while (buffer_.size() < total)
    if (!read_more()) throw utils::RuntimeError("the answer ended within its body");
  std::string answer = buffer_.substr(0, total);
  buffer_.erase(0, total);
  return answer;
}

std::string TlsConnection::read_some(std::size_t at_most) {
  if (buffer_.empty()) read_more();
  std::string some = buffer_.substr(0, at_most);
  buffer_.erase(0, some.size());
  return some;
}

std::string TlsConnection::read_until_closed() {
  while (read_more()) {
  }
  return std::exchange(buffer_, {});
}

}  // namespace velmora::testing
