// The bearer token of a request and the verification of access tokens, every refusal with its
// text, from minted tokens.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "testing/token_minter.hpp"
#include "velmora/daemon/auth/auth_error.hpp"
#include "velmora/daemon/auth/bearer_token.hpp"
#include "velmora/daemon/auth/verify_auth.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/base64url.hpp"

namespace velmora::daemon {
namespace {

using testing::TokenMinter;
using utils::Value;

// A request that carries one "Authorization" header, or none.
class AuthorizedRequest final : public ApiRequest {
 public:
  explicit AuthorizedRequest(std::optional<std::string> authorization)
      : authorization_(std::move(authorization)) {}
  std::string_view method() const noexcept override { return "GET"; }
  std::string_view path() const noexcept override { return "/getMyUUID"; }
  std::string_view body() const noexcept override { return {}; }
  std::string_view header(std::string_view name) const override {
    return name == "Authorization" && authorization_ ? *authorization_ : std::string_view();
  }

 private:
  std::optional<std::string> authorization_;
};

// The description of the AuthError that call throws, or "no AuthError".
template <class Call>
std::string refusal(Call call) {
  try {
    call();
  } catch (const AuthError& error) {
    return std::string(error.description());
  }
  return "no AuthError";
}

TEST(BearerToken, TakesTheSecondWordAfterTheSchemeInAnyCase) {
  for (const char* value :
       {"Bearer tok.en", "bearer tok.en", "BEARER tok.en", "  Bearer \t tok.en  "})
    EXPECT_EQ(get_token_auth_header(AuthorizedRequest(value)), "tok.en") << value;
}

TEST(BearerToken, RefusesEveryOtherValueWithItsText) {
  const std::pair<std::optional<std::string>, const char*> cases[] = {
      {std::nullopt, "Authorization header is expected"},
      {"", "Authorization header is expected"},
      {"Basic dXNlcjpwdw==", "Authorization header must start with Bearer"},
      {"Bearertok", "Authorization header must start with Bearer"},
      {"Bearer", "Token not found"},
      {"  bearer  ", "Token not found"},
      {"Bearer a b", "Authorization header must be 'Bearer {token}'"},
      {"Bearer a b c d", "Authorization header must be 'Bearer {token}'"},
  };
  for (const auto& [value, text] : cases)
    EXPECT_EQ(refusal([&] { get_token_auth_header(AuthorizedRequest(value)); }), text)
        << value.value_or("(absent)");
  // Blanks only are no AuthError: the guard leaves that failure to the server's error page.
  EXPECT_THROW(get_token_auth_header(AuthorizedRequest(" \t ")), utils::IndexError);
}

// token with its claims segment replaced by that of claims: the signature no longer matches.
std::string with_claims(const std::string& token, const Value& claims) {
  return token.substr(0, token.find('.') + 1) + utils::base64url_encode(claims.dump()) +
         token.substr(token.rfind('.'));
}

std::int64_t now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class VerifyAuth : public ::testing::Test {
 protected:
  // Valid claims with member name set to value (a null value removes it).
  static Value claims_with(const char* name, Value value) {
    Value claims = TokenMinter::claims(kProvider.domain, kProvider.audience);
    if (value.is_null()) claims.erase(name);
    else claims[name] = std::move(value);
    return claims;
  }
  std::string refusal_of(const std::string& token) const {
    return refusal([&] { verify_token(token, kProvider, kid2jwk_); });
  }

  static inline const IdentityProvider kProvider{"login.example:8443", "https://api.example"};
  const TokenMinter minter_;
  const Value valid_ = TokenMinter::claims(kProvider.domain, kProvider.audience);
  const Kid2Jwk kid2jwk_ = [this] {
    Value not_rsa = minter_.jwk();
    not_rsa["kid"] = "ec-key";
    not_rsa["kty"] = "EC";
    return kid2jwk_of({{"keys", {minter_.jwk(), not_rsa}}});
  }();
};

TEST_F(VerifyAuth, AcceptsAValidRs256TokenOfTheIdentityProvider) {
  EXPECT_NO_THROW(verify_token(minter_.rs256(valid_), kProvider, kid2jwk_));
  const Value audiences = Value::array({"https://other.example", kProvider.audience});
  EXPECT_NO_THROW(verify_token(minter_.rs256(claims_with("aud", audiences)), kProvider, kid2jwk_));
  EXPECT_NO_THROW(verify_token(minter_.rs256(claims_with("exp", nullptr)), kProvider, kid2jwk_));
  EXPECT_NO_THROW(verify_auth(AuthorizedRequest("Bearer " + minter_.rs256(valid_)), kProvider,
                              kid2jwk_));
}

TEST_F(VerifyAuth, RefusesEachFaultWithItsText) {
  const std::string expired = minter_.rs256(claims_with("exp", now() - 5));
  const std::pair<std::string, const char*> cases[] = {
      // The token's form.
      {"not-a-token", "Incorrectly formatted authentication token"},
      {"a.b", "Incorrectly formatted authentication token"},
      {minter_.rs256(valid_) + ".x", "Incorrectly formatted authentication token"},
      {TokenMinter::segments("not JSON", "{}", "s"), "Incorrectly formatted authentication token"},
      {TokenMinter::segments("[1]", "{}", "s"), "Incorrectly formatted authentication token"},
      {minter_.rs256(valid_) + "!", "Incorrectly formatted authentication token"},
      // The key.
      {minter_.rs256(valid_, {{"kid", "rotated-away"}}), "Unable to find appropriate key"},
      {minter_.rs256(valid_, {{"kid", 7}}), "Unable to find appropriate key"},
      // The signature and its algorithm.
      {TokenMinter::with_fresh_key(TokenMinter::kKeyId).rs256(valid_), "Invalid signature."},
      {TokenMinter::hs256({{"alg", "HS256"}, {"kid", TokenMinter::kKeyId}}, valid_,
                          minter_.jwk().dump()),
       "Invalid signature."},
      {TokenMinter::segments(Value{{"alg", "none"}, {"kid", TokenMinter::kKeyId}}.dump(),
                             valid_.dump(), ""),
       "Invalid signature."},
      {minter_.rs256(valid_, {{"alg", nullptr}}), "Invalid signature."},
      {minter_.rs256(valid_, {{"alg", "RS512"}}), "Invalid signature."},
      {minter_.rs256(valid_, {{"kid", "ec-key"}}), "Invalid signature."},
      {with_claims(minter_.rs256(valid_), claims_with("sub", "velmora|eve")),
       "Invalid signature."},
      {minter_.rs256("claims in a text"), "Invalid signature."},
      // The claims.
      {expired, "Expired token signature."},
      {minter_.rs256(claims_with("nbf", now() + 3600)), "Invalid token claims."},
      {minter_.rs256(claims_with("aud", "https://other.example")), "Invalid token claims."},
      {minter_.rs256(claims_with("aud", nullptr)), "Invalid token claims."},
      {minter_.rs256(claims_with("aud", Value::array({1}))), "Invalid token claims."},
      {minter_.rs256(claims_with("iss", "https://login.example:8443")), "Invalid token claims."},
      {minter_.rs256(claims_with("iss", "https://evil.example/")), "Invalid token claims."},
      {minter_.rs256(claims_with("iss", nullptr)), "Invalid token claims."},
      {minter_.rs256(claims_with("exp", "tomorrow")), "Invalid token claims."},
      {minter_.rs256(claims_with("iat", Value::array())), "Invalid token claims."},
      {minter_.rs256(claims_with("sub", 42)), "Invalid token claims."},
  };
  for (const auto& [token, text] : cases) EXPECT_EQ(refusal_of(token), text) << token;
}

TEST_F(VerifyAuth, TheExpiryComesBeforeTheAudienceAndTheNotBeforeTimeBeforeTheExpiry) {
  Value claims = claims_with("exp", now() - 5);
  claims["aud"] = "https://other.example";
  EXPECT_EQ(refusal_of(minter_.rs256(claims)), "Expired token signature.");
  claims["nbf"] = now() + 3600;
  EXPECT_EQ(refusal_of(minter_.rs256(claims)), "Invalid token claims.");
}

TEST_F(VerifyAuth, AHeaderWithoutKeyIdIsAKeyErrorAndAnEmptyKeySetKnowsNoKey) {
  try {
    verify_token(minter_.rs256(valid_, {{"kid", nullptr}}), kProvider, kid2jwk_);
    FAIL() << "accepted";
  } catch (const utils::KeyError& error) {
    EXPECT_STREQ(error.what(), "'kid'");
  }
  EXPECT_EQ(refusal([&] { verify_token(minter_.rs256(valid_), kProvider, {}); }),
            "Unable to find appropriate key");
}

TEST_F(VerifyAuth, ManyThreadsShareTheKeys) {
  const std::string valid = minter_.rs256(valid_);
  const std::string forged = TokenMinter::with_fresh_key(TokenMinter::kKeyId).rs256(valid_);
  std::atomic<int> wrong = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        if (refusal_of(valid) != "no AuthError") ++wrong;
        if (refusal_of(forged) != "Invalid signature.") ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(VerifyAuth, TheHeaderCheckComesFirst) {
  EXPECT_EQ(refusal([&] { verify_auth(AuthorizedRequest(std::nullopt), kProvider, kid2jwk_); }),
            "Authorization header is expected");
  EXPECT_EQ(refusal([&] { verify_auth(AuthorizedRequest("Bearer x y"), kProvider, kid2jwk_); }),
            "Authorization header must be 'Bearer {token}'");
  EXPECT_THROW(verify_auth(AuthorizedRequest("  "), kProvider, kid2jwk_), utils::IndexError);
}

}  // namespace
}  // namespace velmora::daemon
