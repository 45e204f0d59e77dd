#pragma once
// The identity provider's signing keys, fetched once at start from its key set at
// "https://<domain>/.well-known/jwks.json" and indexed by key id. Each key's RSA public key is
// made once, here, never per token.

#include <chrono>
#include <memory>
#include <string>
#include <unordered_map>

#include "velmora/daemon/auth/rs256_key.hpp"
#include "velmora/daemon/startup/identity_provider.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::daemon {

// One key of the key set: its JSON Web Key as the key set holds it, and the key made from it
// (null when the JWK is no usable RSA public key: tokens under its id are then refused).
struct Jwk {
  utils::Value json;
  std::shared_ptr<const Rs256Key> rs256;
};

// Key id ("kid") to that key.
using Kid2Jwk = std::unordered_map<std::string, Jwk>;

// The keys of a key-set document; a later key with an id already seen replaces the earlier.
// Throws KeyError for a document without "keys" or a key without "kid", TypeError for members of
// the wrong kind.
Kid2Jwk kid2jwk_of(const utils::Value& jwks);

// The limit on each request of the key-set fetch (a redirect makes another request).
inline constexpr std::chrono::milliseconds kKeySetFetchTimeout = std::chrono::seconds(60);

// Fetches and indexes the key set: redirects followed (to HTTPS addresses only), the HTTP client's
// connection time-out and stall guard, each request ended after timeout, the answer's status not
// looked at. Throws ValueError for a domain that networking::check_domain refuses, and what
// fetching (TransferError, also when the time is up), parsing (ValueError) or indexing throws.
Kid2Jwk fetch_key_set(const IdentityProvider& provider,
                      std::chrono::milliseconds timeout = kKeySetFetchTimeout);

}  // namespace velmora::daemon
