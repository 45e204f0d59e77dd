#include "velmora/utils/http/http_status.hpp"

#include <gtest/gtest.h>

#include <atomic>

#include "testing/background_server.hpp"

namespace velmora::utils {
namespace {

TEST(HttpStatus, ErrorStatusesRaiseWithTheirReasonAndTheShownUrl) {
  struct Case {
    long status;
    const char* text;  // empty: no error
  };
  const Case cases[] = {
      {200, ""},
      {302, ""},
      {399, ""},
      {400, "400 Client Error: Bad Request for url: https://h:1/p"},
      {401, "401 Client Error: Unauthorized for url: https://h:1/p"},
      {499, "499 Client Error:  for url: https://h:1/p"},
      {500, "500 Server Error: Internal Server Error for url: https://h:1/p"},
      {503, "503 Server Error: Service Unavailable for url: https://h:1/p"},
      {599, "599 Server Error:  for url: https://h:1/p"},
      {600, ""},
  };
  for (const Case& c : cases) {
    HttpResponse response;
    response.status = c.status;
    try {
      raise_for_status(response, "https://user:secret@h:1/p?sig=secret#f");
      EXPECT_STREQ(c.text, "") << c.status;
    } catch (const HTTPError& error) {
      EXPECT_EQ(std::string(error.what()), c.text);
      EXPECT_EQ(error.status(), c.status);
    }
  }
}

class HttpExchange : public ::testing::Test {
 protected:
  HttpExchange() {
    server_.Get("/big", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(100'000, 'b'), "text/plain");
    });
    server_.Get("/refused", [](const httplib::Request&, httplib::Response& res) {
      res.status = 403;
      res.set_content("no", "text/plain");
    });
    server_.set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
      ++requests_;
      return httplib::Server::HandlerResponse::Unhandled;
    });
  }

  std::string url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(running_.port()) + std::string(path);
  }

  std::atomic<int> requests_ = 0;
  httplib::Server server_;
  testing::BackgroundServer running_{&server_};
};

TEST_F(HttpExchange, BoundsTheBodyHeldInMemory) {
  EXPECT_EQ(http_exchange({.url = url("/big")}).body.size(), 100'000u);
  EXPECT_EQ(http_exchange({.url = url("/big")}, 100'000).body.size(), 100'000u);
  EXPECT_THROW(http_exchange({.url = url("/big")}, 99'999), ValueError);

  const HttpResponse refused = http_exchange({.url = url("/refused")}, 1);
  EXPECT_EQ(refused.status, 403);
  EXPECT_EQ(refused.body, "no");
}

TEST_F(HttpExchange, RefusesUrlsWithoutAnHttpSchemeBeforeSending) {
  for (const char* bad : {"/big", "ftp://127.0.0.1/big", "127.0.0.1/big"})
    EXPECT_THROW(http_exchange({.url = bad}), ValueError) << bad;
  EXPECT_EQ(requests_, 0);
  EXPECT_EQ(http_exchange({.url = "HTTP" + url("/big").substr(4)}).status, 200);
}

TEST(HttpExchangeFailure, NoAnswerIsAConnectionError) {
  const std::string url = "http://127.0.0.1:" + std::to_string(testing::unused_tcp_port()) + "/";
  EXPECT_THROW(http_exchange({.url = url}), ConnectionError);
}

}  // namespace
}  // namespace velmora::utils
