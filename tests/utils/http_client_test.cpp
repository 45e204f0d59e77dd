#include "velmora/utils/http/http_client.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "testing/background_server.hpp"
#include "testing/environment_setting.hpp"
#include "testing/raw_server.hpp"
#include "testing/scoped_folder.hpp"
#include "testing/tls_certificate.hpp"

namespace velmora::utils {
namespace {

using namespace std::chrono_literals;

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Answers every request with what it received, so tests can see what went out.
void serve_echo(httplib::Server& server, std::atomic<int>& requests) {
  const auto echo = [&requests](const httplib::Request& req, httplib::Response& res) {
    ++requests;
    res.set_header("X-Seen-Method", req.method);
    res.set_header("X-Seen-Expect", req.get_header_value("Expect"));
    res.set_header("X-Seen-Type", req.get_header_value("Content-Type"));
    res.set_header("X-Seen-Port", std::to_string(req.remote_port));
    res.set_content(req.body, "application/octet-stream");
  };
  server.Get("/echo", echo);
  server.Post("/echo", echo);
  server.Put("/echo", echo);
  server.Get("/big", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(3 << 20, 'z'), "application/octet-stream");
  });
  server.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("no such thing", "text/plain");
  });
}

// Reads the request, then sends nothing until the client goes or 30 s have passed; then a late
// answer, which a working time limit never lets the client see.
void answer_late(int socket) {
  testing::read_request(socket);
  pollfd waiting{.fd = socket, .events = POLLIN, .revents = 0};
  if (::poll(&waiting, 1, 30'000) == 0)
    testing::send_text(socket, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nlate");
}

class HttpClient : public ::testing::Test {
 protected:
  HttpClient() { serve_echo(server_, requests_); }

  std::string url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(running_.port()) + std::string(path);
  }

  testing::ScopedFolder folder_;
  std::atomic<int> requests_ = 0;
  httplib::Server server_;
  testing::BackgroundServer running_{&server_};
};

TEST_F(HttpClient, SendsBodiesFromMemoryAndFilesWithoutWaitingToContinue) {
  const std::string payload(2 << 20, 'p');  // large enough for libcurl to want 100-continue
  const auto file = folder_.path() / "payload";
  std::ofstream(file, std::ios::binary) << payload;

  for (const auto& [method, body] :
       {std::pair<std::string, decltype(HttpRequest::body)>{"POST", payload}, {"PUT", file}}) {
    const HttpResponse response = http_request({.method = method,
                                                .url = url("/echo"),
                                                .headers = {{"Content-Type", "text/x-test"}},
                                                .body = body});
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, payload) << method;
    EXPECT_EQ(*response.header("x-seen-method"), method);
    EXPECT_EQ(*response.header("X-SEEN-TYPE"), "text/x-test");
    EXPECT_EQ(*response.header("X-Seen-Expect"), "");
  }
  // A POST without a body still tells its length.
  EXPECT_EQ(http_request({.method = "POST", .url = url("/echo")}).status, 200);
  EXPECT_EQ(http_request({.url = url("/echo")}).header("x-absent"), nullptr);
}

TEST_F(HttpClient, AKeptConnectionServesLaterRequestsOfItsThreadOnly) {
  const auto client_port = [&](const std::string& method) {
    return *http_request({.method = method, .url = url("/echo"), .body = std::string("x")})
                .header("x-seen-port");
  };
  const std::string first = client_port("POST");
  EXPECT_EQ(client_port("PUT"), first);
  std::string other_thread;
  std::thread([&] { other_thread = client_port("POST"); }).join();
  EXPECT_NE(other_thread, first);
}

TEST_F(HttpClient, StreamsAnAnswerToASinkOrAFile) {
  std::string received;
  int pieces = 0;
  const HttpResponse streamed =
      http_request({.url = url("/big"), .answer = ChunkSink([&](std::string_view piece) {
                                          received.append(piece);
                                          ++pieces;
                                        })});
  EXPECT_EQ(streamed.status, 200);
  EXPECT_TRUE(streamed.body.empty());
  EXPECT_EQ(received, std::string(3 << 20, 'z'));
  EXPECT_GT(pieces, 1);

  const auto file = folder_.path() / "answer";
  std::ofstream(file) << "old content that is longer than the answer";
  http_request({.url = url("/big"), .answer = file});
  EXPECT_EQ(read_file(file), std::string(3 << 20, 'z'));

  const auto empty = folder_.path() / "empty";
  http_request({.method = "POST", .url = url("/echo"), .answer = empty});
  EXPECT_TRUE(std::filesystem::exists(empty));
  struct stat info {};
  ASSERT_EQ(::stat(empty.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(HttpClient, AnErrorAnswerIsKeptNotStreamed) {
  const auto file = folder_.path() / "answer";
  bool sink_called = false;
  for (const decltype(HttpRequest::answer)& answer :
       {decltype(HttpRequest::answer)(ChunkSink([&](std::string_view) { sink_called = true; })),
        decltype(HttpRequest::answer)(file)}) {
    const HttpResponse response = http_request({.url = url("/missing"), .answer = answer});
    EXPECT_EQ(response.status, 404);
    EXPECT_EQ(response.body, "no such thing");
  }
  EXPECT_FALSE(sink_called);
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(HttpClient, RefusesMalformedHeadersBeforeSending) {
  const HttpHeaders bad[] = {
      {{"X-Token", "a\r\nInjected: yes"}},
      {{"X-Token", "a\nb"}},
      {{"X-Token", std::string("a\0b", 3)}},
      {{"X-Bad:Name", "v"}},
      {{"", "v"}},
      {{"X Bad", "v"}},
  };
  for (const HttpHeaders& headers : bad)
    EXPECT_THROW(http_request({.url = url("/echo"), .headers = headers}), ValueError);
  EXPECT_THROW(http_request({.method = "GET\r\nX", .url = url("/echo")}), ValueError);
  EXPECT_EQ(requests_, 0);
}

TEST_F(HttpClient, WhatTheSinkThrowsReachesTheCaller) {
  struct Full : std::runtime_error {
    Full() : std::runtime_error("disk full") {}
  };
  EXPECT_THROW(http_request({.url = url("/big"),
                             .answer = ChunkSink([](std::string_view) { throw Full(); })}),
               Full);
  EXPECT_THROW(
      http_request({.method = "PUT", .url = url("/echo"), .body = folder_.path() / "missing"}),
      OSError);
}

TEST(HttpClientLimits, TimeLimitAndStallGuardEndASilentExchange) {
  const testing::RawServer silent(answer_late);
  const std::string url = "http://127.0.0.1:" + std::to_string(silent.port()) + "/slow";
  for (const HttpRequest& request :
       {HttpRequest{.url = url, .timeout = 200ms}, HttpRequest{.url = url, .stall_time = 1s}}) {
    try {
      http_request(request);
      ADD_FAILURE() << "no error";
    } catch (const TransferError& e) {
      EXPECT_TRUE(e.timed_out()) << e.what();
    }
  }
}

TEST_F(HttpClient, RefusedConnectionsFailWithoutCredentialsInTheText) {
  const std::string port = std::to_string(testing::unused_tcp_port());
  try {
    http_request({.url = "http://user:pw@127.0.0.1:" + port + "/path?token=secret#frag"});
    FAIL() << "no error";
  } catch (const TransferError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("GET http://127.0.0.1:" + port + "/path: "), std::string::npos) << text;
    EXPECT_EQ(text.find("secret"), std::string::npos) << text;
    EXPECT_EQ(text.find("pw"), std::string::npos) << text;
    EXPECT_FALSE(e.timed_out());
  }
}

// Each case: what a peer sends before it closes the connection.
TEST(HttpClientLimits, AnswerCutOffBeforeItsEndIsNoAnswer) {
  for (const std::string cut_off : {
           "HTTP/1.1 200 OK\r\n",
           "HTTP/1.1 204 No Content\r\nServer: x\r\n",
           "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n",
           "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc",
           "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab",
       }) {
    const testing::RawServer peer([&](int socket) {
      testing::read_request(socket);
      testing::send_text(socket, cut_off);
    });
    EXPECT_THROW(http_request({.url = "http://127.0.0.1:" + std::to_string(peer.port()) + "/"}),
                 TransferError)
        << cut_off;
  }
  // An answer without a length ends where the connection does.
  const testing::RawServer peer([](int socket) {
    testing::read_request(socket);
    testing::send_text(socket, "HTTP/1.0 200 OK\r\n\r\nwhole");
  });
  const HttpResponse whole =
      http_request({.url = "http://127.0.0.1:" + std::to_string(peer.port()) + "/"});
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.body, "whole");
}

// A server may close a kept connection as the next request comes; that request goes again on a
// fresh connection, its body sent whole once more.
TEST(HttpClientLimits, ARequestWhoseKeptConnectionClosesGoesAgainWhole) {
  const auto file = testing::ScopedFolder();
  const auto body_file = file.path() / "body";
  std::ofstream(body_file, std::ios::binary) << "from a file";
  std::atomic<int> connections = 0;
  const testing::RawServer peer([&](int socket) {
    std::string request = testing::read_request(socket);
    if (++connections % 2 == 1) {
      testing::send_text(socket, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nkept");
      testing::read_request(socket);  // the next request, which this connection drops
      return;
    }
    const auto head_end = request.find("\r\n\r\n");
    const std::string body = head_end == std::string::npos ? "" : request.substr(head_end + 4);
    testing::send_text(socket, "HTTP/1.1 200 OK\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\n\r\n" + body);
  });
  const std::string url = "http://127.0.0.1:" + std::to_string(peer.port()) + "/";
  using Body = decltype(HttpRequest::body);
  for (const Body& body : {Body{std::string("in memory")}, Body{body_file}}) {
    EXPECT_EQ(http_request({.method = "POST", .url = url, .body = std::string()}).body, "kept");
    const HttpResponse again = http_request({.method = "POST", .url = url, .body = body});
    EXPECT_EQ(again.body, std::holds_alternative<std::string>(body) ? "in memory" : "from a file");
  }
  EXPECT_EQ(connections, 4);
}

// A kept connection the server drops while a large body goes (reset, the body half sent) is no
// answer either: the request goes again whole on a fresh connection.
TEST(HttpClientLimits, ARequestWhoseKeptConnectionResetsWhileItsBodyGoesGoesAgain) {
  const std::string large(4 << 20, 'b');
  std::atomic<int> connections = 0;
  const testing::RawServer peer([&](int socket) {
    if (++connections == 1) {
      testing::read_request(socket);
      testing::send_text(socket, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nkept");
      char head[256];
      [[maybe_unused]] const ssize_t got = ::recv(socket, head, sizeof head, 0);
      return;  // closed with the body unread: the client's writes meet a reset
    }
    const std::string request = testing::read_request(socket);
    const std::string body = request.substr(request.find("\r\n\r\n") + 4);
    testing::send_text(socket, "HTTP/1.1 200 OK\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\n\r\n" + body);
  });
  const std::string url = "http://127.0.0.1:" + std::to_string(peer.port()) + "/";
  std::thread([&] {
    EXPECT_EQ(http_request({.method = "POST", .url = url, .body = std::string()}).body, "kept");
    EXPECT_EQ(http_request({.method = "POST", .url = url, .body = large}).body.size(),
              large.size());
  }).join();
  EXPECT_EQ(connections, 2);
}

// Kept bodies stop at their limit, also when the peer would send for ever: an error answer's at
// 1 MiB, a successful answer's at the request's body_limit.
TEST(HttpClientLimits, EndlessAnswersKeptInMemoryStopAtTheirLimit) {
  for (const std::string status : {"500 Oops", "200 OK"}) {
    const testing::RawServer endless([&](int socket) {
      testing::read_request(socket);
      testing::send_text(socket, "HTTP/1.1 " + status + "\r\nTransfer-Encoding: chunked\r\n\r\n");
      const std::string chunk = "10000\r\n" + std::string(0x10000, 'e') + "\r\n";
      while (testing::send_text(socket, chunk)) {
      }
    });
    const HttpResponse response =
        http_request({.url = "http://127.0.0.1:" + std::to_string(endless.port()) + "/",
                      .body_limit = 1 << 20,
                      .timeout = 60s});
    EXPECT_EQ(response.body, std::string(1 << 20, 'e')) << status;
    EXPECT_TRUE(response.body_cut) << status;
  }
}

// A body file goes with the length it had when the request began: one that grows meanwhile (a log
// being written) sends no byte past the announced length, so its connection serves the next
// request. The file is far larger than what the sockets buffer before the peer reads the body.
TEST(HttpClientLimits, ABodyFileThatGrowsSendsTheLengthItAnnounced) {
  const testing::ScopedFolder folder;
  const auto file = folder.path() / "growing.log";
  const std::string first((16 << 20) + 12345, 'a');  // not a multiple of a read
  std::ofstream(file, std::ios::binary) << first;
  std::mutex mutex;
  std::string body;          // guarded by mutex
  std::string next_request;  // guarded by mutex
  std::atomic<int> connections = 0;
  const testing::RawServer peer([&](int socket) {
    if (++connections > 1) return;  // the first was not kept
    std::string head;
    for (char c; !head.ends_with("\r\n\r\n") && ::recv(socket, &c, 1, 0) == 1;) head += c;
    std::ofstream(file, std::ios::binary | std::ios::app) << std::string(1 << 20, 'b');
    std::string received(first.size(), '\0');
    for (std::size_t got = 0; got < received.size();) {
      const ssize_t n = ::recv(socket, received.data() + got, received.size() - got, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    {
      std::lock_guard lock(mutex);
      body = std::move(received);
    }
    testing::send_text(socket, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    std::string next = testing::read_request(socket);
    {
      std::lock_guard lock(mutex);
      next_request = std::move(next);
    }
    testing::send_text(socket, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  });
  const std::string url = "http://127.0.0.1:" + std::to_string(peer.port()) + "/";
  EXPECT_EQ(http_request({.method = "PUT", .url = url, .body = file, .timeout = 60s}).status, 200);
  EXPECT_EQ(http_request({.url = url + "next", .timeout = 60s}).status, 200);
  std::lock_guard lock(mutex);
  EXPECT_TRUE(body == first) << "the body differs from the file's first length";
  EXPECT_TRUE(next_request.starts_with("GET /next HTTP/1.1\r\n")) << next_request.substr(0, 40);
}

TEST_F(HttpClient, BodyWithinItsLimitIsWhole) {
  const HttpResponse response = http_request({.url = url("/big"), .body_limit = 3 << 20});
  EXPECT_EQ(response.body.size(), std::size_t{3} << 20);
  EXPECT_FALSE(response.body_cut);
}

TEST_F(HttpClient, LoopbackHostsBypassTheProxyOthersUseIt) {
  std::atomic<int> proxied = 0;
  std::mutex mutex;
  std::string proxied_request;
  const testing::RawServer proxy([&](int socket) {
    const std::string request = testing::read_request(socket);
    {
      std::lock_guard lock(mutex);
      proxied_request = request;
    }
    ++proxied;
    testing::send_text(socket, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
  });
  const std::string proxy_url = "http://127.0.0.1:" + std::to_string(proxy.port());
  const testing::EnvironmentSetting http_proxy("http_proxy", proxy_url);
  const testing::EnvironmentSetting https_proxy("https_proxy", proxy_url);
  const testing::EnvironmentSetting no_proxy("no_proxy", "");

  const std::string port = std::to_string(running_.port());
  for (const std::string host : {"127.0.0.1", "localhost", "LocalHost"}) {
    EXPECT_EQ(http_request({.url = "http://" + host + ":" + port + "/echo"}).status, 200) << host;
  }
  EXPECT_EQ(proxied, 0);

  EXPECT_EQ(http_request({.url = "http://192.0.2.7/somewhere"}).status, 502);
  EXPECT_EQ(proxied, 1);
  std::lock_guard lock(mutex);
  EXPECT_TRUE(proxied_request.starts_with("GET http://192.0.2.7/somewhere ")) << proxied_request;
}

TEST(HttpClientUnixSocket, RequestsGoToTheSocket) {
  const testing::ScopedFolder folder;
  const std::string socket = (folder.path() / "server.sock").string();
  httplib::Server server;
  server.Get("/v1/ping", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("pong from " + req.get_header_value("Host"), "text/plain");
  });
  const testing::BackgroundServer running(&server, socket);
  const HttpResponse response =
      http_request({.url = "http://localhost/v1/ping", .unix_socket = socket});
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "pong from localhost");
}

// A TLS server answering "hello" at /hello; with client_ca, it requires a client certificate
// that this authority signed.
std::unique_ptr<httplib::SSLServer> hello_server(const testing::TlsFiles& files,
                                                 const char* client_ca = nullptr) {
  auto server =
      std::make_unique<httplib::SSLServer>(files.cert.c_str(), files.key.c_str(), client_ca);
  server->Get("/hello", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("hello", "text/plain");
  });
  return server;
}

std::string hello_url(const testing::BackgroundServer& running) {
  return "https://localhost:" + std::to_string(running.port()) + "/hello";
}

TEST(HttpsClient, ServerCertificatesAreVerified) {
  const testing::ScopedFolder folder;
  const auto server_files = testing::make_self_signed_certificate(folder.path(), "server");
  const auto other_files = testing::make_self_signed_certificate(folder.path(), "other");
  const auto server = hello_server(server_files);
  const testing::BackgroundServer running(server.get());
  const std::string url = hello_url(running);

  EXPECT_THROW(http_request({.url = url}), TransferError);
  {
    const testing::EnvironmentSetting extra("VELMORA_CA_FILE", server_files.cert.string());
    EXPECT_EQ(http_request({.url = url}).body, "hello");
    // Trusting another authority in place of the system's still adds the extra bundle.
    EXPECT_EQ(http_request({.url = url, .trusted_ca_file = other_files.cert}).body, "hello");
  }
  EXPECT_EQ(http_request({.url = url, .trusted_ca_file = server_files.cert}).body, "hello");
  EXPECT_THROW(http_request({.url = url, .trusted_ca_file = other_files.cert}), TransferError);

}

TEST(HttpsClient, UnusableAuthorityBundleFailsOnlyRequestsThatVerifyTls) {
  const testing::ScopedFolder folder;
  const auto server_files = testing::make_self_signed_certificate(folder.path(), "server");
  const auto tls_server = hello_server(server_files);
  const testing::BackgroundServer tls_running(tls_server.get());
  httplib::Server plain_server;
  plain_server.Get("/hello", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("plain hello", "text/plain");
  });
  const testing::BackgroundServer plain_running(&plain_server);
  const auto garbage = folder.path() / "garbage.pem";
  std::ofstream(garbage) << "not a certificate\n";

  for (const auto& bundle : {folder.path() / "none.pem", garbage}) {
    const testing::EnvironmentSetting extra("VELMORA_CA_FILE", bundle.string());
    try {
      http_request({.url = hello_url(tls_running)});
      ADD_FAILURE() << "no error for " << bundle;
    } catch (const TransferError& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find("VELMORA_CA_FILE"), std::string::npos) << text;
      EXPECT_NE(text.find(bundle.string()), std::string::npos) << text;
    }
    const std::string plain_url =
        "http://127.0.0.1:" + std::to_string(plain_running.port()) + "/hello";
    EXPECT_EQ(http_request({.url = plain_url}).body, "plain hello");
  }
}

TEST(HttpsClient, PresentsAClientCertificate) {
  const testing::ScopedFolder folder;
  const auto server_files = testing::make_self_signed_certificate(folder.path(), "server");
  const auto client_files = testing::make_self_signed_certificate(folder.path(), "client");
  const auto server = hello_server(server_files, client_files.cert.c_str());
  const testing::BackgroundServer running(server.get());
  HttpRequest request{.url = hello_url(running), .trusted_ca_file = server_files.cert};

  EXPECT_THROW(http_request(request), TransferError);
  request.client_cert = client_files.cert;
  request.client_key = client_files.key;
  EXPECT_EQ(http_request(request).body, "hello");
}

// A request made while the process exits still goes out and comes back: here from an exit
// handler registered before anything of the request was made in the exiting process, so that, as
// for a static object's destructor, the thread's own objects and the static objects made since
// are gone by then. The server runs in this process, the exiting one is a child of it.
TEST(HttpsClient, ARequestMadeWhileTheProcessExitsWorks) {
  const testing::ScopedFolder folder;
  const auto files = testing::make_self_signed_certificate(folder.path(), "server");
  const auto server = hello_server(files);
  const testing::BackgroundServer running(server.get());
  static std::string url;
  static std::filesystem::path authority;
  url = hello_url(running);
  authority = files.cert;
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        std::atexit([] {
          const HttpResponse late = http_request({.url = url, .trusted_ca_file = authority});
          std::_Exit(late.body == "hello" ? 0 : 3);
        });
        if (http_request({.url = url, .trusted_ca_file = authority}).body != "hello") std::_Exit(2);
        std::exit(1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace velmora::utils
