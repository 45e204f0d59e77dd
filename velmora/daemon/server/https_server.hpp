#pragma once
// The local API served over HTTPS (TLS 1.2 and later): every request goes to the dispatcher. A
// request is read whole before it is parsed (with cpp-httplib), and its connection is served by a
// thread of a fixed set only while a request is under way; connections, threads, times and sizes
// are bounded as bounds.hpp says, the time and count bounds by the server's ServerBounds. A
// request without a body that could carry one is served as one with an empty body. An answer's
// kept body goes out from where it is kept, never copied.
//
// bind, present, serve and the destructor belong to one thread; stop may be called from any
// thread, at any time, also before serve.

#include <filesystem>
#include <memory>
#include <string>

#include "velmora/daemon/bounds.hpp"

namespace velmora::daemon {

class Dispatcher;
class ConnectionLoop;

class HttpsServer {
 public:
  // Holds clients to bounds; *dispatcher must outlive the server. A server made without its TLS
  // identity is given one by present before it serves, so that it can bind first.
  explicit HttpsServer(const Dispatcher* dispatcher, const ServerBounds& bounds = {});
  // The same, presenting the certificate and private key of those PEM files at once.
  HttpsServer(const Dispatcher* dispatcher, const std::filesystem::path& cert_file,
              const std::filesystem::path& key_file, const ServerBounds& bounds = {});
  HttpsServer(const HttpsServer&) = delete;
  HttpsServer& operator=(const HttpsServer&) = delete;
  ~HttpsServer();

  // Listens on host:port, port 0 meaning any free port, on a port no other socket may share.
  // Throws RuntimeError when that address cannot be had.
  void bind(const std::string& host, int port);
  int port() const noexcept { return port_; }

  // Presents the certificate and private key of those PEM files from now on. Throws
  // RuntimeError when the files cannot be loaded.
  void present(const std::filesystem::path& cert_file, const std::filesystem::path& key_file);

  // Serves until stop(), once bound and presenting its identity; returns once the requests under
  // way are answered and every connection is closed. Throws RuntimeError when serving fails.
  void serve();
  void stop() noexcept;

  // Connections open now.
  std::size_t connections() const;

 private:
  class RequestAnswerer;
  struct TlsContext;

  std::unique_ptr<RequestAnswerer> answerer_;
  std::unique_ptr<TlsContext> tls_;
  std::unique_ptr<ConnectionLoop> loop_;
  int listening_socket_ = -1;
  std::string host_;
  int port_ = 0;
  bool presented_ = false;
};

}  // namespace velmora::daemon
