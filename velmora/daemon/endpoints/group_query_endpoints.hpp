#pragma once
// The group query endpoints: the groups this node holds, the invitations and join requests it
// sent and received (the owner's entries name a device, the member's a group alone), the groups
// whose owner removed it, and a group's other members and owner as the group service names them.

#include "velmora/daemon/endpoints/endpoint.hpp"

namespace velmora::daemon {

EndpointTable group_query_endpoints();

}  // namespace velmora::daemon
