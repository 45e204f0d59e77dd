#pragma once
// A raw client connection to a local TLS server, for requests a client library will not send (no
// body length, bytes one at a time) and for connections held open. Certificates are not checked.
// One thread uses it.

#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <string_view>

namespace velmora::testing {

class TlsConnection {
 public:
  // Connects to 127.0.0.1:port; with handshake false it stays a bare TCP connection that never
  // greets. Reads give up after 60 s. receive_buffer, when not 0, is the socket's receive buffer
  // in bytes, set before it connects, so that the peer's writes soon wait while nothing is read.
  explicit TlsConnection(int port, bool handshake = true, int receive_buffer = 0);
  TlsConnection(const TlsConnection&) = delete;
  TlsConnection& operator=(const TlsConnection&) = delete;
  ~TlsConnection();

  void write(std::string_view bytes);
  // One HTTP answer: status line, headers and the body its "Content-Length" gives.
  std::string read_answer();
  // Whatever arrives until the peer closes.
  std::string read_until_closed();
  // Up to at_most bytes, once some have come; empty when the peer has closed.
  std::string read_some(std::size_t at_most);

 private:
  int socket_ = -1;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context_{nullptr, &SSL_CTX_free};
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl_{nullptr, &SSL_free};
  std::string buffer_;  // read but not yet handed out
  bool read_more();
};

}  // namespace velmora::testing
