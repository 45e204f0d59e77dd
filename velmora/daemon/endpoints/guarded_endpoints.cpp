#include "velmora/daemon/endpoints/guarded_endpoints.hpp"

namespace velmora::daemon {

// No group of endpoints is built yet. Each appends its table here, in the order of the route
// index's groups.
EndpointTable guarded_endpoints() { return {}; }

}  // namespace velmora::daemon
