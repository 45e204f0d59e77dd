#pragma once
// The handlers of the 51 routes over the process state: the three login routes, and the endpoint
// guard around each guarded route's endpoint.

#include "velmora/daemon/api_state.hpp"
#include "velmora/daemon/endpoints/endpoint.hpp"
#include "velmora/daemon/endpoints/guarded_endpoints.hpp"
#include "velmora/daemon/server/dispatcher.hpp"

namespace velmora::daemon {

// Each row of endpoints serves the guarded route its handler name names; a guarded route without
// a row fails inside the guard as an endpoint not built. Throws std::logic_error for a row that
// names no guarded route or a route named before. *state must outlive the handlers.
HandlerTable route_handlers(ApiState* state, const EndpointTable& endpoints = guarded_endpoints());

}  // namespace velmora::daemon
