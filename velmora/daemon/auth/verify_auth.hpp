#pragma once
// The access-token check of the local API: a request's bearer token must be an RS256 JSON Web
// Token signed with a key of the identity provider's key set, for the audience, from the issuer
// "https://<domain>/", and valid now. Functions of their arguments and the clock: safe from any
// thread.

#include <string_view>

#include "velmora/daemon/server/api_exchange.hpp"
#include "velmora/daemon/startup/identity_provider.hpp"
#include "velmora/daemon/startup/key_set.hpp"

namespace velmora::daemon {

// Returns when token is valid; its claims are not kept. Throws AuthError:
//   "Incorrectly formatted authentication token"  no compact token, or a header that is no object
//   "Unable to find appropriate key"   a "kid" that kid2jwk does not hold
//   "Invalid signature."               an "alg" other than "RS256", a key that is no RSA public
//                                      key, a signature that does not verify, claims that are no
//                                      JSON object
//   "Expired token signature." and "Invalid token claims."  as check_claims refuses the claims
//   "Unable to decode token."          any other failure of the decoding
// and KeyError 'kid' for a header without "kid".
void verify_token(std::string_view token, const IdentityProvider& provider,
                  const Kid2Jwk& kid2jwk);

// verify_token of the request's bearer token. What get_token_auth_header throws passes unchanged.
void verify_auth(const ApiRequest& request, const IdentityProvider& provider,
                 const Kid2Jwk& kid2jwk);

}  // namespace velmora::daemon
