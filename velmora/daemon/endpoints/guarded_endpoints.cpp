#include "velmora/daemon/endpoints/guarded_endpoints.hpp"

#include <algorithm>
#include <iterator>

#include "velmora/daemon/endpoints/friend_endpoints.hpp"
#include "velmora/daemon/endpoints/group_action_endpoints.hpp"
#include "velmora/daemon/endpoints/group_query_endpoints.hpp"

namespace velmora::daemon {

// Each group of endpoints appends its table here, in the order of the route index's groups.
EndpointTable guarded_endpoints() {
  EndpointTable endpoints;
  const auto append = [&endpoints](EndpointTable group) {
    std::move(group.begin(), group.end(), std::back_inserter(endpoints));
  };
  append(friend_endpoints());
  append(group_query_endpoints());
  append(group_action_endpoints());
  return endpoints;
}

}  // namespace velmora::daemon
