#include "velmora/daemon/endpoints/guarded_endpoints.hpp"

#include <algorithm>
#include <iterator>

#include "velmora/daemon/endpoints/account_endpoints.hpp"
#include "velmora/daemon/endpoints/friend_endpoints.hpp"
#include "velmora/daemon/endpoints/group_action_endpoints.hpp"
#include "velmora/daemon/endpoints/group_query_endpoints.hpp"
#include "velmora/daemon/endpoints/job_endpoints.hpp"
#include "velmora/daemon/endpoints/node_control_endpoints.hpp"

namespace velmora::daemon {

// Each group of endpoints appends its table here, in the order of the route index's groups.
EndpointTable guarded_endpoints() {
  EndpointTable endpoints;
  const auto append = [&endpoints](EndpointTable group) {
    std::move(group.begin(), group.end(), std::back_inserter(endpoints));
  };
  append(account_endpoints());
  append(node_control_endpoints());
  append(friend_endpoints());
  append(group_query_endpoints());
  append(group_action_endpoints());
  append(job_endpoints());
  return endpoints;
}

}  // namespace velmora::daemon
