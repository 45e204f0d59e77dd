// The local API as a client sees it over HTTPS: routes, methods, errors, cross-origin headers and
// concurrent connections, before any login.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <sstream>
#include <thread>

#include "testing/scoped_folder.hpp"
#include "testing/tls_certificate.hpp"
#include "testing/tls_connection.hpp"
#include "velmora/daemon/api_state.hpp"
#include "velmora/daemon/route_handlers.hpp"
#include "velmora/daemon/server/https_server.hpp"
#include "velmora/utils/result_json.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::daemon {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kBackendUrl = "https://backend.example:8443/api";
constexpr std::string_view kJson = "application/json; charset=utf-8";
constexpr std::string_view kHtml = "text/html; charset=utf-8";

std::set<std::string> method_set(const std::string& allow) {
  std::set<std::string> methods;
  std::stringstream words(allow);
  for (std::string word; std::getline(words, word, ',');)
    methods.insert(word.substr(word.find_first_not_of(' ')));
  return methods;
}

model::NodeSettings settings() {
  model::NodeSettings settings;
  settings.backend_url = kBackendUrl;
  return settings;
}

class LocalApi : public ::testing::Test {
 protected:
  LocalApi() {
    server_.bind("127.0.0.1", 0);
    serving_ = std::thread([this] { server_.serve(); });
    client_.emplace("127.0.0.1", server_.port());
    client_->set_ca_cert_path(tls_.cert.string());
    client_->enable_server_certificate_verification(true);
    client_->set_keep_alive(true);
    client_->set_tcp_nodelay(true);  // its headers and body go in two writes
    client_->set_read_timeout(60s);
  }
  ~LocalApi() override {
    client_.reset();  // else the server waits out its keep-alive time before it stops
    server_.stop();
    serving_.join();
  }

  httplib::Result send(std::string_view method, const std::string& path,
                       const httplib::Headers& headers = {}) {
    if (method == "GET") return client_->Get(path, headers);
    if (method == "HEAD") return client_->Head(path, headers);
    if (method == "OPTIONS") return client_->Options(path, headers);
    if (method == "DELETE") return client_->Delete(path, headers);
    if (method == "PUT") return client_->Put(path, headers, "{}", "application/json");
    if (method == "PATCH") return client_->Patch(path, headers, "{}", "application/json");
    return client_->Post(path, headers, "{}", "application/json");
  }

  testing::ScopedFolder folder_;
  testing::TlsFiles tls_ = testing::make_self_signed_certificate(folder_.path(), "api");
  ApiState state_{settings(), IdentityProvider{"login.example", "https://audience.example"}, {}};
  Dispatcher dispatcher_{route_handlers(&state_)};
  HttpsServer server_{&dispatcher_, tls_.cert, tls_.key};
  std::thread serving_;
  std::optional<httplib::SSLClient> client_;  // once the server has its port
};

// What a route's own handler answers before any login.
void expect_handler_answer(const Route& route, const httplib::Result& result, bool head) {
  ASSERT_TRUE(result) << route.path;
  const std::string body = head ? "" : result->body;
  if (route.guarded) {
    EXPECT_EQ(result->status, 500) << route.path;
    EXPECT_EQ(result->get_header_value("Content-Type"), kJson);
    if (!head) {
      EXPECT_EQ(body, utils::string_to_result_json(false, -1, "User unauthenticated"));
    }
  } else if (route.handler == "backend") {
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->get_header_value("Content-Type"), kHtml);
    if (!head) {
      EXPECT_EQ(body, kBackendUrl);
    }
  } else if (route.handler == "authenticate") {  // without a bearer token
    EXPECT_EQ(result->status, 500);
    EXPECT_EQ(result->get_header_value("Content-Type"), kJson);
    EXPECT_EQ(body, utils::string_to_result_json(false, -1, "Authorization header is expected"));
  } else {  // identify_token, of a body without "access_token"
    EXPECT_EQ(result->status, 500) << route.path;
    EXPECT_EQ(result->get_header_value("Content-Type"), kHtml);
  }
  if (head) {
    EXPECT_EQ(result->body, "");
    EXPECT_NE(result->get_header_value("Content-Length"), "0") << route.path;
  }
}

TEST_F(LocalApi, EveryRouteAnswersItsMethodsAndRefusesTheOthersBeforeAnyGuard) {
  const utils::log::LogCapture log("velmora.daemon");
  for (const Route& route : ROUTES) {
    const std::set<std::string> allowed = method_set(std::string(allowed_methods(route)));
    for (const char* method : {"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE"}) {
      SCOPED_TRACE(std::string(method) + " " + std::string(route.path));
      const httplib::Result result = send(method, std::string(route.path));
      ASSERT_TRUE(result);
      if (serves_method(route, method)) {
        expect_handler_answer(route, result, std::string_view(method) == "HEAD");
      } else {
        EXPECT_EQ(result->status, 405);
        EXPECT_EQ(method_set(result->get_header_value("Allow")), allowed);
        if (std::string_view(method) != "HEAD") {
          EXPECT_NE(result->body.find("405 Method Not Allowed"), std::string::npos);
        }
      }
    }
    const httplib::Result options = send("OPTIONS", std::string(route.path));
    ASSERT_TRUE(options);
    EXPECT_EQ(options->status, 200);
    EXPECT_EQ(options->body, "");
    EXPECT_EQ(method_set(options->get_header_value("Allow")), allowed);
  }
  // Only the routes' own methods reached their handlers: on the guarded routes GET and HEAD, or
  // POST, and one POST of each login route.
  const std::vector<std::string> messages = log.messages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(),
                       "ERROR:velmora.daemon:Endpoint called before model construction"),
            18 * 2 - 2 + 33 - 2);
  EXPECT_EQ(messages.size(), 18u * 2 - 2 + 33u - 2 + 2);
}

TEST_F(LocalApi, AnswersOnlyExactPaths) {
  for (const char* path : {"/getMyUUID/", "/getmyuuid", "/GetMyUUID", "/", "//getMyUUID",
                           "/backend/", "/nothing", "/getMyUUID%2F", "/getMyUUID;x"}) {
    const httplib::Result result = send("GET", path);
    ASSERT_TRUE(result) << path;
    EXPECT_EQ(result->status, 404) << path;
    EXPECT_EQ(result->get_header_value("Content-Type"), kHtml);
    EXPECT_NE(result->body.find("<h1>Not Found</h1>"), std::string::npos);
    EXPECT_EQ(send("OPTIONS", path)->status, 404) << path;
  }
  // The query is not part of the path, and the path is matched once percent-decoded.
  for (const char* path : {"/backend?x=1&y", "/back%65nd", "/%62ackend?%"}) {
    const httplib::Result result = send("GET", path);
    ASSERT_TRUE(result) << path;
    EXPECT_EQ(result->status, 200) << path;
    EXPECT_EQ(result->body, kBackendUrl);
  }
}

TEST_F(LocalApi, AddsCrossOriginHeadersToEveryAnswer) {
  for (const char* path : {"/backend", "/getMyUUID", "/nothing", "/register"}) {
    SCOPED_TRACE(path);
    const httplib::Result plain = send("GET", path);
    EXPECT_EQ(plain->get_header_value("Access-Control-Allow-Origin"), "*");
    EXPECT_FALSE(plain->has_header("Vary"));
    EXPECT_FALSE(plain->has_header("Access-Control-Allow-Methods"));

    const httplib::Result origin = send("GET", path, {{"Origin", "https://front.example"}});
    EXPECT_EQ(origin->get_header_value("Access-Control-Allow-Origin"), "https://front.example");
    EXPECT_EQ(origin->get_header_value("Vary"), "Origin");
    EXPECT_FALSE(origin->has_header("Access-Control-Allow-Credentials"));

    const httplib::Result preflight =
        send("OPTIONS", path,
             {{"Origin", "http://localhost:3000"},
              {"Access-Control-Request-Method", "post"},
              {"Access-Control-Request-Headers", "x-b, Content-Type ,Authorization"}});
    EXPECT_EQ(preflight->get_header_value("Access-Control-Allow-Origin"), "http://localhost:3000");
    EXPECT_EQ(preflight->get_header_value("Access-Control-Allow-Methods"),
              "DELETE, GET, HEAD, OPTIONS, PATCH, POST, PUT");
    EXPECT_EQ(preflight->get_header_value("Access-Control-Allow-Headers"),
              "Authorization, Content-Type, x-b");
    EXPECT_EQ(preflight->get_header_value("Vary"), "Origin");
  }
  // A pre-flight for a method outside the allowed ones gets no method list.
  const httplib::Result odd = send("OPTIONS", "/register",
                                   {{"Origin", "https://a.example"},
                                    {"Access-Control-Request-Method", "TRACE"}});
  EXPECT_EQ(odd->status, 200);
  EXPECT_FALSE(odd->has_header("Access-Control-Allow-Methods"));
  EXPECT_EQ(odd->get_header_value("Access-Control-Allow-Origin"), "https://a.example");
}

TEST_F(LocalApi, ServesABodylessPostAsAnEmptyBody) {
  // No "Content-Length" and no chunks: the request is whole after its headers.
  testing::TlsConnection connection(server_.port());
  connection.write("POST /register HTTP/1.1\r\nHost: localhost\r\n\r\n");
  const std::string guarded = connection.read_answer();
  EXPECT_TRUE(guarded.starts_with("HTTP/1.1 500 ")) << guarded;
  EXPECT_NE(guarded.find("User unauthenticated"), std::string::npos);
  // The same connection goes on with the next request, with and without a body.
  connection.write("POST /getMyUUID HTTP/1.1\r\nHost: localhost\r\n\r\n");
  EXPECT_TRUE(connection.read_answer().starts_with("HTTP/1.1 405 "));
  connection.write("POST /register HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\n\r\n{}");
  EXPECT_TRUE(connection.read_answer().starts_with("HTTP/1.1 500 "));
  connection.write("POST /register HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n"
                   "2\r\n{}\r\n0\r\n\r\n");
  EXPECT_TRUE(connection.read_answer().starts_with("HTTP/1.1 500 "));
  connection.write("GET /backend HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
  const std::string last = connection.read_until_closed();
  EXPECT_TRUE(last.starts_with("HTTP/1.1 200 ")) << last;
  EXPECT_TRUE(last.ends_with(kBackendUrl));
}

TEST_F(LocalApi, AnswersWholeAndNeverReadsAnUnreadBodyAsARequest) {
  testing::TlsConnection ranged(server_.port());
  ranged.write("GET /backend HTTP/1.1\r\nHost: localhost\r\nRange: bytes=0-3\r\n\r\n");
  const std::string whole = ranged.read_answer();
  EXPECT_TRUE(whole.starts_with("HTTP/1.1 200 ")) << whole;
  EXPECT_TRUE(whole.ends_with(kBackendUrl));
  EXPECT_EQ(whole.find("Content-Range"), std::string::npos);

  // A body on a method that takes none stays unread: the connection ends after the answer (once
  // the keep-alive time has passed), and the body is never taken for a request.
  for (const char* method : {"GET", "DELETE"}) {
    testing::TlsConnection connection(server_.port());
    connection.write(std::string(method) +
                     " /backend HTTP/1.1\r\nHost: localhost\r\nContent-Length: 34\r\n\r\n"
                     "GET /getMyUUID HTTP/1.1\r\nHost: x\r\n\r\n");
    const std::string answers = connection.read_until_closed();
    EXPECT_EQ(answers.find("HTTP/1.1", 1), std::string::npos) << method << "\n" << answers;
  }
}

TEST_F(LocalApi, AnswersMalformedAndOversizedRequestsWithItsOwnPages) {
  testing::TlsConnection garbage(server_.port());
  garbage.write("NOT A REQUEST\r\n\r\n");
  const std::string refused = garbage.read_answer();
  EXPECT_TRUE(refused.starts_with("HTTP/1.1 400 ")) << refused;
  EXPECT_NE(refused.find("<title>400 Bad Request</title>"), std::string::npos);
  EXPECT_NE(refused.find("Access-Control-Allow-Origin: *"), std::string::npos);

  const httplib::Result large =
      client_->Post("/register", std::string((1 << 20) + 1, 'x'), "application/json");
  ASSERT_TRUE(large);
  EXPECT_EQ(large->status, 413);
  EXPECT_NE(large->body.find("413 Payload Too Large"), std::string::npos);
}

// Connections that stall in the handshake or in their headers must not keep a new client waiting:
// with a fixed pool the stalled ones would hold every worker for as long as they trickle.
TEST_F(LocalApi, ServesNewClientsWhileManyConnectionsStall) {
  // Whole requests first, one after the other: httplib, built without ThreadSanitizer, sets up
  // its function-local statics on first use, which the sanitizer cannot see as synchronised when
  // stalled connections meet them at once on fresh threads. Once the first connection has ended,
  // its worker has handed over through the pool's lock before any later worker starts.
  for (int i = 0; i < 2; ++i) {
    testing::TlsConnection warm_up(server_.port());
    warm_up.write("GET /backend HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(warm_up.read_until_closed().starts_with("HTTP/1.1 200 "));
  }
  constexpr int kStalled = 40;
  std::vector<std::unique_ptr<testing::TlsConnection>> silent, trickling;
  for (int i = 0; i < kStalled; ++i) {
    silent.push_back(std::make_unique<testing::TlsConnection>(server_.port(), false));
    trickling.push_back(std::make_unique<testing::TlsConnection>(server_.port()));
    trickling.back()->write("GET /backend HTTP/1.1\r\n");
  }
  std::atomic<bool> served = false;
  std::thread trickle([&] {
    // One header byte per connection now and then, well inside the server's read time-out, until
    // the new clients are served or have given up.
    for (int round = 0; !served.load() && round < 1000; ++round) {
      for (auto& connection : trickling) connection->write("X");
      for (int wait = 0; wait < 10 && !served.load(); ++wait) std::this_thread::sleep_for(20ms);
    }
  });
  int answered = 0;
  for (int i = 0; i < 5; ++i) {
    httplib::SSLClient fresh("127.0.0.1", server_.port());
    fresh.enable_server_certificate_verification(false);
    fresh.set_connection_timeout(60s);
    fresh.set_read_timeout(60s);
    const httplib::Result result = fresh.Get("/backend");
    answered += result && result->body == kBackendUrl;
  }
  served = true;
  trickle.join();
  EXPECT_EQ(answered, 5);
}

}  // namespace
}  // namespace velmora::daemon
