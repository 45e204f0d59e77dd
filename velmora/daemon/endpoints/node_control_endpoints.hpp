#pragma once
// The node control endpoints: start, pause, unpause and kill the update threads, and wipe the
// user data. Each calls its node operation and answers (true, 0, "success") once it has returned
// ("/killThreads" once every poll has ended); the body is not read.

#include "velmora/daemon/endpoints/endpoint.hpp"

namespace velmora::daemon {

EndpointTable node_control_endpoints();

}  // namespace velmora::daemon
