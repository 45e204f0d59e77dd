#pragma once
// The friend endpoints: the friend list, the requests this node sent with the state each has
// reached, the requests it received and has not answered, and the four friend actions on the
// device named by the body's "uuid".

#include "velmora/daemon/endpoints/endpoint.hpp"

namespace velmora::daemon {

EndpointTable friend_endpoints();

}  // namespace velmora::daemon
