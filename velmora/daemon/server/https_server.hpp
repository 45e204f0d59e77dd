#pragma once
// The local API served over HTTPS (TLS 1.2 and later) with cpp-httplib: every request goes to the
// dispatcher, on a thread of the connection's own; a request without a body that could carry one
// is served as one with an empty body.
//
// bind, serve and the destructor belong to one thread; stop may be called from any thread, at any
// time, also before serve.

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

namespace httplib {
class SSLServer;
}

namespace velmora::daemon {

class Dispatcher;

class HttpsServer {
 public:
  // Presents the certificate and private key of those PEM files. *dispatcher must outlive the
  // server. Throws RuntimeError when the files cannot be loaded.
  HttpsServer(const Dispatcher* dispatcher, const std::filesystem::path& cert_file,
              const std::filesystem::path& key_file);
  HttpsServer(const HttpsServer&) = delete;
  HttpsServer& operator=(const HttpsServer&) = delete;
  ~HttpsServer();

  // Listens on host:port, port 0 meaning any free port, on a port no other socket may share.
  // Throws RuntimeError when that address cannot be had.
  void bind(const std::string& host, int port);
  int port() const noexcept { return port_; }

  // Serves until stop(); returns once every connection has ended. Throws RuntimeError when
  // serving fails.
  void serve();
  void stop() noexcept { stop_requested_.store(true); }

 private:
  void stop_if_requested();

  const Dispatcher* const dispatcher_;
  std::unique_ptr<httplib::SSLServer> server_;
  int listening_socket_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_requested_ = false;
  bool stopped_ = false;  // touched only on the accept loop
};

}  // namespace velmora::daemon
