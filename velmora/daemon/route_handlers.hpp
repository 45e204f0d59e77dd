#pragma once
// The handlers of the 51 routes over the process state. Today: "/backend"; the two login routes
// answer 501 until the login is built; a guarded route answers "User unauthenticated" while no
// node object exists.

#include "velmora/daemon/api_state.hpp"
#include "velmora/daemon/server/dispatcher.hpp"

namespace velmora::daemon {

// *state must outlive the handlers.
HandlerTable route_handlers(const ApiState* state);

}  // namespace velmora::daemon
