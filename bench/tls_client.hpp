#pragma once
// The client end of TLS connections to a local server, for the local API's benchmark tools.
// Certificates are not checked.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string_view>

namespace bench {

struct TlsClient {
  int socket = -1;
  SSL* ssl = nullptr;
  ~TlsClient() {
    if (ssl) SSL_free(ssl);
    if (socket >= 0) close(socket);
  }
};

inline sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A TLS connection to 127.0.0.1:port, its reads and writes given up after timeout; null on any
// failure.
inline std::unique_ptr<TlsClient> connect_tls(SSL_CTX* context, int port,
                                              std::chrono::seconds timeout) {
  auto client = std::make_unique<TlsClient>();
  client->socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval limit{static_cast<time_t>(timeout.count()), 0};
  setsockopt(client->socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(client->socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  const sockaddr_in address = loopback(port);
  if (connect(client->socket, reinterpret_cast<const sockaddr*>(&address), sizeof address))
    return nullptr;
  client->ssl = SSL_new(context);
  SSL_set_fd(client->ssl, client->socket);
  if (SSL_connect(client->ssl) != 1) return nullptr;
  return client;
}

inline bool write_all(TlsClient& client, std::string_view bytes) {
  return SSL_write(client.ssl, bytes.data(), static_cast<int>(bytes.size())) ==
         static_cast<int>(bytes.size());
}

// As many descriptors as the hard limit allows, and a client context.
inline std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> client_setup() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  return {SSL_CTX_new(TLS_client_method()), &SSL_CTX_free};
}

}  // namespace bench
