#include "velmora/daemon/server/https_server.hpp"

#include <httplib.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "velmora/daemon/bounds.hpp"
#include "velmora/daemon/server/connection_loop.hpp"
#include "velmora/daemon/server/cross_origin.hpp"
#include "velmora/daemon/server/dispatcher.hpp"
#include "velmora/daemon/server/error_page.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::daemon {
namespace {

// An httplib request as the dispatcher reads it.
class ServedRequest final : public ApiRequest {
 public:
  explicit ServedRequest(const httplib::Request& request) : request_(request) {}

  std::string_view method() const noexcept override { return request_.method; }
  std::string_view path() const noexcept override { return request_.path; }
  std::string_view body() const noexcept override { return request_.body; }
  std::string_view header(std::string_view name) const override {
    const auto found = request_.headers.find(std::string(name));  // the first of that name
    return found == request_.headers.end() ? std::string_view() : std::string_view(found->second);
  }

 private:
  const httplib::Request& request_;
};

// Where the request this thread answers hands over its answer's kept body: httplib writes the
// head, the connection then the kept body from where it is kept.
thread_local KeptText* t_kept_body = nullptr;

// Points t_kept_body at kept_body while it lives.
class KeptBodyHandOver {
 public:
  explicit KeptBodyHandOver(KeptText& kept_body) { t_kept_body = &kept_body; }
  ~KeptBodyHandOver() { t_kept_body = nullptr; }
  KeptBodyHandOver(const KeptBodyHandOver&) = delete;
  KeptBodyHandOver& operator=(const KeptBodyHandOver&) = delete;
};

void send(ApiAnswer answer, httplib::Response& response) {
  response.status = answer.status;
  for (auto& [name, value] : answer.headers) response.set_header(name, value);
  response.set_content(std::move(answer.body), answer.content_type.c_str());
}

// The methods whose body is read before the request is answered; any other method's body stays
// unread, and its connection ends after the answer (request_extent.hpp).
bool body_is_read(const httplib::Request& request) {
  return (request.method == "POST" || request.method == "PUT" || request.method == "PATCH") &&
         (request.has_header("Content-Length") || request.has_header("Transfer-Encoding"));
}

std::string listen_failure(const std::string& host, int port, std::string_view reason) {
  std::string text = "cannot listen on " + host + " port " + std::to_string(port);
  if (!reason.empty()) text.append(": ").append(reason);
  return text;
}

}  // namespace

// cpp-httplib's server as the parser and answerer of requests read whole elsewhere.
class HttpsServer::RequestAnswerer final : public httplib::Server {
 public:
  RequestAnswerer(const Dispatcher* dispatcher, std::chrono::milliseconds idle_time);

  bool answer(httplib::Stream& stream, bool close_connection, bool& connection_closed,
              KeptText& kept_body) {
    const KeptBodyHandOver hand_over(kept_body);
    return process_request(stream, close_connection, connection_closed, whole_answers_);
  }

 private:
  // httplib answers a "Range" header with a part of any answer; the API serves whole answers.
  const std::function<void(httplib::Request&)> whole_answers_ = [](httplib::Request& request) {
    request.ranges.clear();
  };
};

HttpsServer::RequestAnswerer::RequestAnswerer(const Dispatcher* dispatcher,
                                              std::chrono::milliseconds idle_time) {
  // For the "Keep-Alive" header it writes.
  set_keep_alive_timeout(std::chrono::duration_cast<std::chrono::seconds>(idle_time).count());
  set_keep_alive_max_count(kMaxRequestsPerConnection);
  set_payload_max_length(kMaxRequestBody);
  const auto dispatch = [dispatcher](const httplib::Request& request,
                                     httplib::Response& response) {
    ApiAnswer answer = dispatcher->answer(ServedRequest(request));
    KeptText kept_body = std::move(answer.kept_body);
    // The head gives the kept body's length, as httplib gives that of a body of the answer's own.
    if (kept_body) response.set_header("Content-Length", std::to_string(kept_body->size()));
    send(std::move(answer), response);
    if (kept_body && request.method != "HEAD") *t_kept_body = std::move(kept_body);
  };
  // Every request is answered before httplib routes it, but for those with a body to read first.
  // So a POST without a body is whole after its headers, and every method reaches the dispatcher.
  set_pre_routing_handler([dispatch](const httplib::Request& request, httplib::Response& response) {
    if (body_is_read(request)) return httplib::Server::HandlerResponse::Unhandled;
    dispatch(request, response);
    return httplib::Server::HandlerResponse::Handled;
  });
  Post(".*", httplib::Server::Handler(dispatch));
  Put(".*", httplib::Server::Handler(dispatch));
  Patch(".*", httplib::Server::Handler(dispatch));

  // Errors httplib answers itself (a malformed request, a body too large) get our page.
  set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request& request, httplib::Response& response) {
        if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        ApiAnswer answer = error_answer(response.status);
        add_cross_origin_headers(ServedRequest(request), answer);
        send(std::move(answer), response);
        return httplib::Server::HandlerResponse::Handled;
      }));
  set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        send(error_answer(500), response);
      });
}

struct HttpsServer::TlsContext {
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context{SSL_CTX_new(TLS_server_method()),
                                                            &SSL_CTX_free};
};

HttpsServer::HttpsServer(const Dispatcher* dispatcher, const ServerBounds& bounds)
    : answerer_(std::make_unique<RequestAnswerer>(dispatcher, bounds.idle_time)),
      tls_(std::make_unique<TlsContext>()) {
  SSL_CTX* const context = tls_->context.get();
  if (!context || SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) {
    ERR_clear_error();
    throw utils::RuntimeError("cannot make the TLS context of the local API");
  }
  SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
  // Answers are written piece by piece as the socket takes them; a record is read with what
  // follows it in one call.
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_read_ahead(context, 1);
  loop_ = std::make_unique<ConnectionLoop>(
      context, [answerer = answerer_.get()](httplib::Stream& stream, bool close_connection,
                                            bool& connection_closed, KeptText& kept_body) {
        return answerer->answer(stream, close_connection, connection_closed, kept_body);
      },
      bounds);
}

HttpsServer::HttpsServer(const Dispatcher* dispatcher, const std::filesystem::path& cert_file,
                         const std::filesystem::path& key_file, const ServerBounds& bounds)
    : HttpsServer(dispatcher, bounds) {
  present(cert_file, key_file);
}

void HttpsServer::present(const std::filesystem::path& cert_file,
                          const std::filesystem::path& key_file) {
  SSL_CTX* const context = tls_->context.get();
  if (SSL_CTX_use_certificate_chain_file(context, cert_file.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    ERR_clear_error();
    throw utils::RuntimeError("cannot load the TLS certificate " + cert_file.string() +
                              " and key " + key_file.string());
  }
  presented_ = true;
}

HttpsServer::~HttpsServer() {
  if (listening_socket_ >= 0) ::close(listening_socket_);
}

void HttpsServer::bind(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int failure = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found))
    throw utils::RuntimeError(listen_failure(host, port, ::gai_strerror(failure)));
  int error = 0;
  for (const addrinfo* address = found; address && listening_socket_ < 0;
       address = address->ai_next) {
    const int socket = ::socket(address->ai_family,
                                address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                address->ai_protocol);
    if (socket < 0) {
      error = errno;
      continue;
    }
    // Address reuse after a restart, never a port shared with another socket.
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(socket, address->ai_addr, address->ai_addrlen) == 0 &&
        ::listen(socket, SOMAXCONN) == 0) {
      listening_socket_ = socket;
    } else {
      error = errno;
      ::close(socket);
    }
  }
  ::freeaddrinfo(found);
  if (listening_socket_ < 0)
    throw utils::RuntimeError(listen_failure(host, port, error ? std::strerror(error) : ""));
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  ::getsockname(listening_socket_, reinterpret_cast<sockaddr*>(&bound), &size);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                            : reinterpret_cast<sockaddr_in&>(bound).sin_port);
  host_ = host;
}

void HttpsServer::serve() {
  if (listening_socket_ < 0) throw utils::RuntimeError("the local API serves only once bound");
  if (!presented_) throw utils::RuntimeError("the local API serves only with its TLS identity");
  ConnectionEnds local;
  local.local_ip = host_;
  local.local_port = port_;
  loop_->run(listening_socket_, local);
}

void HttpsServer::stop() noexcept { loop_->stop(); }

std::size_t HttpsServer::connections() const { return loop_->connections(); }

}  // namespace velmora::daemon
