#pragma once
// The local API over real HTTPS in front of a node on the fakes (model::NodeFixture): the real
// handlers, dispatcher and server over an ApiState whose identity provider is the fake one, with
// its key set. Access tokens are minted as that provider signs them, and a login goes as a front
// end makes it. The node's construction can be scripted (make_node), and the API restarted over
// the same working folder, as a second velmorad start would be.

#include <httplib.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tests/model/node_fixture.hpp"
#include "velmora/daemon/api_state.hpp"
#include "velmora/daemon/endpoints/guarded_endpoints.hpp"
#include "velmora/daemon/server/dispatcher.hpp"
#include "velmora/daemon/server/https_server.hpp"

namespace velmora::daemon {

inline constexpr std::string_view kJson = "application/json; charset=utf-8";
inline constexpr std::string_view kHtml = "text/html; charset=utf-8";
// The audience the API's tokens carry.
inline constexpr const char* kAudience = "https://api.velmora.test";
// A second account: its refresh token, the access token the provider grants for it, its name.
inline const std::string kOtherRefreshToken = "refresh-bob";
inline const std::string kOtherUser = "bob";

// An answer of that status, content type and body.
void expect_answer(const httplib::Result& result, int status, std::string_view content_type,
                   const std::string& body);
// The server's own HTML page of that status.
void expect_server_page(const httplib::Result& result, int status);

class ApiFixture : public model::NodeFixture {
 protected:
  // Serves endpoints behind the guard.
  explicit ApiFixture(EndpointTable endpoints = guarded_endpoints());
  ~ApiFixture() override;

  // An access token of user (another text for each distinct variant), which the fake identity
  // provider names user for.
  std::string access_token(const std::string& user = networking::kUser, int variant = 0);
  static httplib::Headers bearer(const std::string& token) {
    return {{"Authorization", "Bearer " + token}};
  }

  // A new client of the API, verifying its certificate; one thread uses it.
  std::unique_ptr<httplib::SSLClient> client() const;
  httplib::Result get(const std::string& path, const httplib::Headers& headers = {});
  httplib::Result post(const std::string& path, const std::string& body,
                       const httplib::Headers& headers = {});
  // POST "/authenticate" with that bearer token and {"refresh_token": refresh_token}.
  httplib::Result authenticate(const std::string& token,
                               const std::string& refresh_token = networking::kRefreshToken);
  // A login of kUser with kRefreshToken; a test failure unless it succeeds.
  void log_in();

  // Stops serving and makes the API and its state afresh over the same working folder.
  void restart_api();

  // From now on a login builds its node with factory (null: the node's own constructor).
  void make_node_with(NodeFactory factory);
  // How many node objects the logins set out to build.
  int nodes_built() const { return nodes_built_.load(); }
  // How many requests reached the handler of the route at path.
  int arrivals(std::string_view path) const;

  ApiState& state();

 private:
  struct Api;  // the state, dispatcher, server and serving thread of one start
  std::shared_ptr<model::Velmora> build_node(const std::string& refresh_token,
                                             const model::NodeSettings& settings);

  const EndpointTable endpoints_;
  testing::TlsFiles api_tls_;
  mutable std::mutex factory_mutex_;
  NodeFactory factory_;  // guarded by factory_mutex_
  std::atomic<int> nodes_built_{0};
  std::array<std::atomic<int>, ROUTES.size()> arrivals_{};
  std::unique_ptr<Api> api_;
  std::unique_ptr<httplib::SSLClient> client_;  // of the test's own thread
};

}  // namespace velmora::daemon
