#include "velmora/daemon/startup/key_set.hpp"

#include <gtest/gtest.h>

#include "testing/background_server.hpp"
#include "testing/environment_setting.hpp"
#include "testing/jwks_server.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/http/http_client.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::daemon {
namespace {

constexpr const char* kJwksPath = "/.well-known/jwks.json";
constexpr const char* kTwoKeys =
    R"({"keys": [{"kid": "a", "n": "1"}, {"kid": "b", "n": "2"}, {"kid": "a", "n": "3"}]})";

TEST(KeySet, IndexesKeysByIdTheLaterWinning) {
  const Kid2Jwk keys = kid2jwk_of(utils::parse_json(kTwoKeys));
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys.at("a"), utils::parse_json(R"({"kid": "a", "n": "3"})"));
  EXPECT_EQ(keys.at("b")["n"], "2");
  EXPECT_TRUE(kid2jwk_of(utils::parse_json(R"({"keys": [], "other": 1})")).empty());
}

TEST(KeySet, RefusesDocumentsWithoutKeysOrKeyIds) {
  EXPECT_THROW(kid2jwk_of(utils::parse_json(R"({"key": []})")), utils::KeyError);
  EXPECT_THROW(kid2jwk_of(utils::parse_json(R"({"keys": [{"kty": "RSA"}]})")), utils::KeyError);
  for (const char* document : {R"([])", R"({"keys": {}})", R"({"keys": "ab"})",
                               R"({"keys": [1]})", R"({"keys": [{"kid": 7}]})"})
    EXPECT_THROW(kid2jwk_of(utils::parse_json(document)), utils::TypeError) << document;
}

TEST(KeySet, ChecksTheDomainBeforeUsingIt) {
  for (const char* domain : {"login.example", "127.0.0.1:8443", "[::1]:9", "idp-2.example.com"})
    EXPECT_NO_THROW(check_domain(domain)) << domain;
  for (const char* domain : {"", "https://login.example", "login.example/x", "a@b", "x:", ":80",
                             "x:80:1", "x?y", "a b", "[::1", "x:123456", "[]"})
    EXPECT_THROW(check_domain(domain), utils::ValueError) << domain;
}

class KeySetFetch : public ::testing::Test {
 protected:
  Kid2Jwk fetch() { return fetch_key_set({jwks_.domain(), "https://audience.example"}); }

  testing::ScopedFolder folder_;
  testing::JwksServer jwks_{folder_.path()};
  testing::EnvironmentSetting trust_{"VELMORA_CA_FILE", jwks_.ca_file().string()};
  testing::EnvironmentSetting no_proxy_{"no_proxy", "127.0.0.1,localhost"};
  testing::EnvironmentSetting no_proxy_upper_{"NO_PROXY", "127.0.0.1,localhost"};
};

TEST_F(KeySetFetch, FetchesOnceFollowingRedirectsWhateverTheStatus) {
  jwks_.set_answer(kJwksPath, 302, "", "/moved/keys");
  jwks_.set_answer("/moved/keys", 307, "", "https://" + jwks_.domain() + "/keys");
  jwks_.set_answer("/keys", 404, kTwoKeys);
  EXPECT_EQ(fetch().at("a")["n"], "3");
  EXPECT_EQ(jwks_.requests(), 3);
}

TEST_F(KeySetFetch, FailsOnWhatIsNoKeySet) {
  jwks_.set_answer(kJwksPath, 200, "<html>not JSON</html>");
  EXPECT_THROW(fetch(), utils::ValueError);
  jwks_.set_answer(kJwksPath, 200, std::string(2 << 20, ' '));
  EXPECT_THROW(fetch(), utils::ValueError);  // larger than any key set
  jwks_.set_answer(kJwksPath, 200, R"({"keys": [{"n": "1"}]})");
  EXPECT_THROW(fetch(), utils::KeyError);
  // Keys must not come over plain HTTP.
  jwks_.set_answer(kJwksPath, 301, "", "http://" + jwks_.domain() + "/keys");
  EXPECT_THROW(fetch(), utils::RuntimeError);
  jwks_.set_answer(kJwksPath, 302, "", kJwksPath);
  EXPECT_THROW(fetch(), utils::RuntimeError);  // a redirect loop ends
}

TEST_F(KeySetFetch, FailsWhenTheProviderCannotBeReached) {
  const std::string domain = "127.0.0.1:" + std::to_string(testing::unused_tcp_port());
  EXPECT_THROW(fetch_key_set({domain, "x"}), utils::TransferError);
  EXPECT_THROW(fetch_key_set({"127.0.0.1/evil?", "x"}), utils::ValueError);
}

}  // namespace
}  // namespace velmora::daemon
