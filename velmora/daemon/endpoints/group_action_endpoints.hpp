#pragma once
// The group action endpoints: create and destroy a group this node owns, invite a device into it,
// answer its join requests and remove its members; answer an invitation, ask to join and leave a
// group of another owner. Device ids ("uuid") go to the node object as text.

#include "velmora/daemon/endpoints/endpoint.hpp"

namespace velmora::daemon {

EndpointTable group_action_endpoints();

}  // namespace velmora::daemon
