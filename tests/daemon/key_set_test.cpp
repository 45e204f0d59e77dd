#include "velmora/daemon/startup/key_set.hpp"

#include <gtest/gtest.h>

#include "testing/background_server.hpp"
#include "testing/environment_setting.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/scoped_folder.hpp"
#include "testing/token_minter.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/http/http_client.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::daemon {
namespace {

using testing::Answer;

constexpr const char* kJwksPath = testing::FakeIdentityProvider::kKeySetPath;
constexpr const char* kTwoKeys =
    R"({"keys": [{"kid": "a", "n": "1"}, {"kid": "b", "n": "2"}, {"kid": "a", "n": "3"}]})";

TEST(KeySet, IndexesKeysByIdTheLaterWinning) {
  const Kid2Jwk keys = kid2jwk_of(utils::parse_json(kTwoKeys));
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys.at("a").json, utils::parse_json(R"({"kid": "a", "n": "3"})"));
  EXPECT_EQ(keys.at("b").json["n"], "2");
  EXPECT_TRUE(kid2jwk_of(utils::parse_json(R"({"keys": [], "other": 1})")).empty());
}

TEST(KeySet, MakesTheKeyOfEachUsableRsaKeyOnce) {
  const utils::Value good = testing::TokenMinter().jwk();
  utils::Value jwks = {{"keys", {good}}};
  const std::pair<const char*, utils::Value> unusable[] = {
      {"kty", "EC"},          {"kty", nullptr}, {"e", nullptr},         {"n", 7},
      {"n", "not base64url"}, {"n", ""},        {"n", "AAAA"},  // a modulus of zero
  };
  for (std::size_t i = 0; i < std::size(unusable); ++i) {
    utils::Value jwk = good;
    jwk["kid"] = std::to_string(i);
    if (unusable[i].second.is_null()) jwk.erase(unusable[i].first);
    else jwk[unusable[i].first] = unusable[i].second;
    jwks["keys"].push_back(jwk);
  }
  const Kid2Jwk kid2jwk = kid2jwk_of(jwks);
  EXPECT_NE(kid2jwk.at(testing::TokenMinter::kKeyId).rs256, nullptr);
  for (std::size_t i = 0; i < std::size(unusable); ++i)
    EXPECT_EQ(kid2jwk.at(std::to_string(i)).rs256, nullptr) << unusable[i].first;
}

TEST(KeySet, RefusesDocumentsWithoutKeysOrKeyIds) {
  EXPECT_THROW(kid2jwk_of(utils::parse_json(R"({"key": []})")), utils::KeyError);
  EXPECT_THROW(kid2jwk_of(utils::parse_json(R"({"keys": [{"kty": "RSA"}]})")), utils::KeyError);
  for (const char* document : {R"([])", R"({"keys": {}})", R"({"keys": "ab"})",
                               R"({"keys": [1]})", R"({"keys": [{"kid": 7}]})"})
    EXPECT_THROW(kid2jwk_of(utils::parse_json(document)), utils::TypeError) << document;
}

class KeySetFetch : public ::testing::Test {
 protected:
  Kid2Jwk fetch() { return fetch_key_set({idp_.domain(), "https://audience.example"}); }

  // The next time path is asked for, it answers status and body.
  void answer_next(const std::string& path, int status, const std::string& body,
                   const std::string& location = "") {
    Answer answer{status, body};
    if (!location.empty()) answer.headers = {{"Location", location}};
    idp_.server().script(path, answer);
  }

  testing::ScopedFolder folder_;
  testing::TlsFiles tls_ = testing::make_self_signed_certificate(folder_.path(), "idp");
  testing::EnvironmentSetting trust_{"VELMORA_CA_FILE", tls_.cert.string()};
  testing::FakeIdentityProvider idp_{tls_};
};

TEST_F(KeySetFetch, ServesTheTestKeyByDefault) {
  const Kid2Jwk kid2jwk = fetch();
  ASSERT_EQ(kid2jwk.size(), 1u);
  EXPECT_EQ(kid2jwk.at(testing::TokenMinter::kKeyId).json, testing::TokenMinter().jwk());
}

TEST_F(KeySetFetch, FetchesOnceFollowingRedirectsWhateverTheStatus) {
  answer_next(kJwksPath, 302, "", "/moved/keys");
  answer_next("/moved/keys", 307, "", "https://" + idp_.domain() + "/keys");
  answer_next("/keys", 404, kTwoKeys);
  EXPECT_EQ(fetch().at("a").json["n"], "3");
  EXPECT_EQ(idp_.server().requests().size(), 3u);
}

TEST_F(KeySetFetch, FailsOnWhatIsNoKeySet) {
  answer_next(kJwksPath, 200, "<html>not JSON</html>");
  EXPECT_THROW(fetch(), utils::ValueError);
  answer_next(kJwksPath, 200, std::string(2 << 20, ' '));
  EXPECT_THROW(fetch(), utils::ValueError);  // larger than any key set
  answer_next(kJwksPath, 200, R"({"kid": "a"})");
  EXPECT_THROW(fetch(), utils::KeyError);
  answer_next(kJwksPath, 200, R"({"keys": [{"n": "1"}]})");
  EXPECT_THROW(fetch(), utils::KeyError);
  // Keys must not come over plain HTTP.
  answer_next(kJwksPath, 301, "", "http://" + idp_.domain() + "/keys");
  EXPECT_THROW(fetch(), utils::RuntimeError);
  idp_.server().script(kJwksPath, {302, "", "text/plain", {{"Location", kJwksPath}}}, 31);
  EXPECT_THROW(fetch(), utils::RuntimeError);  // a redirect loop ends
}

TEST_F(KeySetFetch, FailsWhenTheProviderCannotBeReached) {
  const std::string domain = "127.0.0.1:" + std::to_string(testing::unused_tcp_port());
  EXPECT_THROW(fetch_key_set({domain, "x"}), utils::TransferError);
  EXPECT_THROW(fetch_key_set({"127.0.0.1/evil?", "x"}), utils::ValueError);
}

TEST_F(KeySetFetch, GivesUpOnAProviderThatNeverAnswers) {
  idp_.server().hold(kJwksPath);
  try {
    fetch_key_set({idp_.domain(), "x"}, std::chrono::seconds(2));
    FAIL() << "fetched";
  } catch (const utils::TransferError& error) {
    EXPECT_TRUE(error.timed_out()) << error.what();
  }
  // Asked once at most: on a loaded machine the limit may already end the TLS handshake.
  EXPECT_LE(idp_.server().calls(kJwksPath), 1);
}

}  // namespace
}  // namespace velmora::daemon
