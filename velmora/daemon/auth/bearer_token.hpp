#pragma once
// The access token of a local API request: its "Authorization" header, "Bearer <token>".

#include <string_view>

#include "velmora/daemon/server/api_exchange.hpp"

namespace velmora::daemon {

// The token: the second of the header value's words, which runs of blanks separate, after the
// scheme word "bearer" in any letter case. A view into request, valid while it is. Throws
// AuthError "Authorization header is expected" for an absent or empty header, "Authorization
// header must start with Bearer" for another scheme, "Token not found" for the scheme alone and
// "Authorization header must be 'Bearer {token}'" for three words or more; IndexError for a value
// of blanks only.
std::string_view get_token_auth_header(const ApiRequest& request);

}  // namespace velmora::daemon
