#include "velmora/daemon/server/https_server.hpp"

#include <httplib.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "velmora/daemon/server/connection_threads.hpp"
#include "velmora/daemon/server/cross_origin.hpp"
#include "velmora/daemon/server/dispatcher.hpp"
#include "velmora/daemon/server/error_page.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::daemon {
namespace {

constexpr std::size_t kMaxBodyBytes = 1 << 20;
constexpr std::size_t kMaxRequestsPerConnection = 1000;
constexpr time_t kAcceptLoopTickMicroseconds = 100'000;

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

void send(ApiAnswer answer, httplib::Response& response) {
  response.status = answer.status;
  for (auto& [name, value] : answer.headers) response.set_header(name, value);
  response.set_content(std::move(answer.body), answer.content_type.c_str());
}

bool declares_body(const httplib::Request& request) {
  return request.has_header("Content-Length") || request.has_header("Transfer-Encoding");
}

// The methods whose body httplib reads before it routes the request.
bool body_is_read(const httplib::Request& request) {
  return request.method == "POST" || request.method == "PUT" || request.method == "PATCH";
}

// httplib answers a "Range" header with a part of any answer, and takes the unread body of a
// request as the start of the next one. The API serves whole answers, and a connection whose
// request body stays unread is closed after its answer. The request is httplib's own object, not
// a constant: it hands it over as const only to handlers.
void serve_whole_and_in_step(const httplib::Request& served) {
  auto& request = const_cast<httplib::Request&>(served);
  request.ranges.clear();
  if (declares_body(request) && !body_is_read(request)) {
    request.headers.erase("Connection");
    request.set_header("Connection", "close");
  }
}

// Address reuse after a restart, never a port shared with another socket.
void reuse_address_only(int socket) {
  int yes = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace

HttpsServer::HttpsServer(const Dispatcher* dispatcher, const std::filesystem::path& cert_file,
                         const std::filesystem::path& key_file)
    : dispatcher_(dispatcher) {
  server_ = std::make_unique<httplib::SSLServer>([&](SSL_CTX& context) {
    return SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION) == 1 &&
           SSL_CTX_use_certificate_chain_file(&context, cert_file.c_str()) == 1 &&
           SSL_CTX_use_PrivateKey_file(&context, key_file.c_str(), SSL_FILETYPE_PEM) == 1 &&
           SSL_CTX_check_private_key(&context) == 1;
  });
  if (!server_->is_valid())
    throw utils::RuntimeError("cannot load the TLS certificate " + cert_file.string() +
                              " and key " + key_file.string());

  server_->new_task_queue = [this] {
    return new ConnectionThreads([this] { stop_if_requested(); });
  };
  server_->set_socket_options([this](int socket) {
    listening_socket_ = socket;
    reuse_address_only(socket);
  });
  server_->set_idle_interval(0, kAcceptLoopTickMicroseconds);
  server_->set_tcp_nodelay(true);  // an answer goes out in two writes: no wait between them
  server_->set_keep_alive_max_count(kMaxRequestsPerConnection);
  server_->set_payload_max_length(kMaxBodyBytes);

  const auto dispatch = [this](const httplib::Request& request, httplib::Response& response) {
    send(dispatcher_->answer(ServedRequest(request)), response);
  };
  // Every request is answered before httplib routes it, but for those with a body to read first.
  // So a POST without a body is whole after its headers (httplib would wait for the connection to
  // close), and every method reaches the dispatcher.
  server_->set_pre_routing_handler(
      [dispatch](const httplib::Request& request, httplib::Response& response) {
        serve_whole_and_in_step(request);
        if (declares_body(request) && body_is_read(request))
          return httplib::Server::HandlerResponse::Unhandled;
        dispatch(request, response);
        return httplib::Server::HandlerResponse::Handled;
      });
  server_->Post(".*", httplib::Server::Handler(dispatch));
  server_->Put(".*", httplib::Server::Handler(dispatch));
  server_->Patch(".*", httplib::Server::Handler(dispatch));

  // Errors httplib answers itself (a malformed request, a body too large) get our page.
  server_->set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request& request, httplib::Response& response) {
        if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        ApiAnswer answer = error_answer(response.status);
        add_cross_origin_headers(ServedRequest(request), answer);
        send(std::move(answer), response);
        return httplib::Server::HandlerResponse::Handled;
      }));
  server_->set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        send(error_answer(500), response);
      });
}

HttpsServer::~HttpsServer() = default;

void HttpsServer::bind(const std::string& host, int port) {
  errno = 0;
  if (port == 0) {
    port_ = server_->bind_to_any_port(host);
  } else if (server_->bind_to_port(host, port)) {
    port_ = port;
  }
  if (port_ <= 0) {
    const int error = errno;
    throw utils::RuntimeError("cannot listen on " + host + " port " + std::to_string(port) +
                              (error ? std::string(": ") + std::strerror(error) : std::string()));
  }
  // httplib listens with a backlog of 5; a burst of clients must not be turned away.
  ::listen(listening_socket_, SOMAXCONN);
}

void HttpsServer::serve() {
  if (!server_->listen_after_bind() && !stopped_)
    throw utils::RuntimeError("the local API stopped serving: accepting a connection failed");
}

void HttpsServer::stop_if_requested() {
  if (stopped_ || !stop_requested_.load()) return;
  stopped_ = true;
  server_->stop();
}

}  // namespace velmora::daemon
