// Construction, the two token refreshes and the switch between them, and the user-name lookup.
#include <gtest/gtest.h>

#include "backend_fixture.hpp"
#include "velmora/utils/http/http_status.hpp"
#include "velmora/utils/runtime/log.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::networking {
namespace {

using utils::log::LogCapture;

class AccessToken : public BackendFixture {
 protected:
  // The identity provider refuses every refresh from now on; the backend answers token.
  void switch_to_backend(const std::string& token) {
    idp_->server().script("/oauth/token", {401, R"({"error": "access_denied"})"}, 100);
    backend_.set_refresh_token(kRefreshToken, token);
    idp_->set_user(token, kUser);
  }
};

TEST_F(AccessToken, ConstructionRefreshesAtTheIdentityProviderAndLooksUpTheUser) {
  const auto network = make_network();
  EXPECT_EQ(network->access_token(), kFirstToken);
  EXPECT_EQ(network->username(), kUser);
  EXPECT_EQ(network->token_refresh(), TokenRefresh::gui);
  EXPECT_FALSE(network->is_registered());
  EXPECT_TRUE(network->devices()->empty());
  EXPECT_EQ(network->local_device(), device_);

  const auto idp_requests = idp_->server().requests();
  ASSERT_EQ(idp_requests.size(), 2u);
  EXPECT_EQ(idp_requests[0].path, "/oauth/token");
  EXPECT_EQ(idp_requests[0].header("Authorization"), "");
  EXPECT_EQ(utils::parse_json(idp_requests[0].body).dump(),
            Value({{"grant_type", "refresh_token"},
                   {"client_id", "Qm7TzR2wXk9LpV4sNd8HbJ3fYc6GtA1e"},
                   {"refresh_token", kRefreshToken}})
                .dump());
  EXPECT_EQ(idp_requests[1].path, "/userinfo");
  EXPECT_EQ(idp_requests[1].header("Authorization"), "Bearer " + kFirstToken);
  EXPECT_TRUE(backend_.server().requests().empty());
}

TEST_F(AccessToken, AnIdentityProviderErrorSwitchesToTheBackendForGood) {
  switch_to_backend("backend-token");
  LogCapture log("velmora.networking");
  const auto network = make_network();
  EXPECT_EQ(network->access_token(), "backend-token");
  EXPECT_EQ(network->token_refresh(), TokenRefresh::cli);
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"INFO:velmora.networking:refreshing token gui",
                                                      "INFO:velmora.networking:Refreshing token cli"}));
  const auto sent = requests_to("/refresh/token");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].body, R"({"refresh_token":")" + kRefreshToken + "\"}");
  EXPECT_EQ(sent[0].header("Authorization"), "");

  backend_.set_refresh_token(kRefreshToken, "backend-token-2\n");  // kept as it came
  EXPECT_EQ(network->new_access_token(), "backend-token-2\n");
  EXPECT_EQ(idp_->server().calls("/oauth/token"), 1);
  EXPECT_EQ(log.messages().back(), "INFO:velmora.networking:Refreshing token cli");

  // A failing backend refresh is raised, and the next refresh asks the backend again.
  backend_.server().script("/refresh/token", {500, "down", "text/plain"});
  EXPECT_THROW(network->new_access_token(), utils::HTTPError);
  EXPECT_EQ(network->new_access_token(), "backend-token-2\n");
  EXPECT_EQ(idp_->server().calls("/oauth/token"), 1);
}

TEST_F(AccessToken, TheBackendRefreshPathIsRelativeToTheBaseUrl) {
  switch_to_backend("t");
  const std::pair<std::string, std::string> cases[] = {
      {"/a/b", "/a/refresh/token"},
      {"/a/b/", "/a/b/refresh/token"},
      {"", "/refresh/token"},
  };
  for (const auto& [base_path, refresh_path] : cases) {
    make_network(backend_.url() + base_path);
    EXPECT_EQ(backend_.server().calls(refresh_path), 1) << base_path;
  }
}

TEST_F(AccessToken, AnUnreachableIdentityProviderIsAskedAgainNextTime) {
  const auto network = make_network();
  idp_.reset();
  EXPECT_THROW(network->new_access_token(), utils::ConnectionError);
  EXPECT_EQ(network->token_refresh(), TokenRefresh::gui);
  EXPECT_THROW(network->new_access_token(), utils::ConnectionError);
  EXPECT_TRUE(backend_.server().requests().empty());
}

TEST_F(AccessToken, AFailedUserLookupFailsTheConstruction) {
  idp_->server().script("/userinfo", {401, "Unauthorized", "text/plain"});
  try {
    make_network();
    FAIL() << "no error";
  } catch (const utils::RuntimeError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Could not retrieve user information: 401 Client Error: Unauthorized for url: " +
                  idp_->url() + "/userinfo");
  }

  idp_->server().script("/userinfo", {200, R"({"sub": "x"})"});
  EXPECT_THROW(make_network(), utils::KeyError);
  idp_->server().script("/userinfo", {200, "not json", "text/plain"});
  EXPECT_THROW(make_network(), utils::ValueError);
  EXPECT_TRUE(backend_.server().requests().empty());
}

TEST_F(AccessToken, AGrantAnswerWithoutATokenFailsWithoutSwitching) {
  idp_->server().script("/oauth/token", {200, R"({"token_type": "Bearer"})"});
  EXPECT_THROW(make_network(), utils::KeyError);
  EXPECT_TRUE(backend_.server().requests().empty());
}

}  // namespace
}  // namespace velmora::networking
