#pragma once
// Access tokens as the identity provider signs them, for tests: RS256 JSON Web Tokens under a
// test key whose JSON Web Key the fake identity provider serves, and hostile ones (HS256, raw
// segments). Const members may be called from any thread.

#include <openssl/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "velmora/utils/value.hpp"

namespace velmora::testing {

class TokenMinter {
 public:
  static constexpr const char* kKeyId = "velmora-test-key";

  // Signs under kid with the test key: one RSA-2048 key made at the first use in the process.
  explicit TokenMinter(std::string kid = kKeyId);
  // Signs under kid with a key of its own, made now: a forger's key.
  static TokenMinter with_fresh_key(std::string kid);

  const std::string& kid() const noexcept { return kid_; }
  // The public key as the key set lists it: "kty", "use", "alg", "kid", "n", "e".
  utils::Value jwk() const;

  // Claims that the local API accepts for that identity provider domain and audience: issued a
  // minute ago, expiring in an hour, subject "velmora|<user>".
  static utils::Value claims(std::string_view domain, std::string_view audience,
                             std::string_view user = "ada");

  // An RS256 token of claims under the header {"alg": "RS256", "typ": "JWT", "kid": kid()}, whose
  // members header_changes sets (a null member removes one).
  std::string rs256(const utils::Value& claims,
                    const utils::Value& header_changes = utils::Value::object()) const;

  // An HS256 token of header and claims with that secret.
  static std::string hs256(const utils::Value& header, const utils::Value& claims,
                           std::string_view secret);
  // The three segments, each base64url-encoded, joined with dots.
  static std::string segments(std::string_view header, std::string_view payload,
                              std::string_view signature);

 private:
  TokenMinter(std::string kid, std::shared_ptr<EVP_PKEY> key)
      : kid_(std::move(kid)), key_(std::move(key)) {}

  std::string kid_;
  std::shared_ptr<EVP_PKEY> key_;
};

}  // namespace velmora::testing
