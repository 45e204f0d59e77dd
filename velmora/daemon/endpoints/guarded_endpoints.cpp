#include "velmora/daemon/endpoints/guarded_endpoints.hpp"

#include "velmora/daemon/endpoints/account_endpoints.hpp"
#include "velmora/daemon/endpoints/job_endpoints.hpp"
#include "velmora/daemon/endpoints/node_control_endpoints.hpp"

namespace velmora::daemon {
namespace {

void append(EndpointTable& table, EndpointTable group) {
  for (EndpointRow& row : group) table.push_back(std::move(row));
}

}  // namespace

// Each group of endpoints appends its table here, in the order of the route index's groups.
EndpointTable guarded_endpoints() {
  EndpointTable table;
  append(table, account_endpoints());
  append(table, node_control_endpoints());
  append(table, job_endpoints());
  return table;
}

}  // namespace velmora::daemon
