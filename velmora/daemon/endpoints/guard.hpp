#pragma once
// The endpoint guard: every guarded route's handler, around its endpoint. In order: no node
// object yet, 500 "User unauthenticated"; a bearer token the checks refuse (AuthError), 401 with
// the refusal; a token of another user than the node's, 403 "Access token userinfo != Refresh
// token userinfo" (this answer alone without the JSON content type); else the endpoint's text
// with 200, or, when the endpoint throws, 500 with the failure's text. Each refusal and failure
// is logged at ERROR on "velmora.daemon". A token check that fails otherwise (a header of blanks,
// a token without "kid") and a failed user lookup are not caught: the dispatcher answers them
// with its 500 page.

#include <string_view>

#include "velmora/daemon/api_state.hpp"
#include "velmora/daemon/endpoints/endpoint.hpp"
#include "velmora/daemon/server/api_exchange.hpp"

namespace velmora::daemon {

// The guarded handler of the route whose handler name is name ("Endpoint failed: <name>" names
// it in the log); a null endpoint fails as one not built yet. *state must outlive the handler.
Handler diapered_endpoint(const ApiState* state, std::string_view name, Endpoint endpoint);

}  // namespace velmora::daemon
