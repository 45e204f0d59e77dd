#pragma once
// The claims of an access token whose signature verified, held against what the local API
// expects of them. Pure function: safe from any thread.

#include <cstdint>
#include <string_view>

#include "velmora/utils/value.hpp"

namespace velmora::daemon {

// Returns when claims (a JSON object) may be accepted at now, in seconds since the epoch. Checked
// in this order, each refusal an AuthError: "iat", "nbf" and "exp", where present, are numbers
// (their whole part counts), "nbf" is not after now ("Invalid token claims."), "exp" not before
// now ("Expired token signature."); "aud" names audience, as a text or in a list of texts; "iss"
// is "https://" + domain + "/"; "sub" and "jti", where present, are texts. Every refusal but the
// expiry is "Invalid token claims.".
void check_claims(const utils::Value& claims, std::string_view audience, std::string_view domain,
                  std::int64_t now);

}  // namespace velmora::daemon
