#pragma once
// The account and device endpoints: who this node is (its device id, machine name and profile),
// the devices the backend lists, registration and unregistration with the backend, and the
// upload of a log file to the backend.

#include "velmora/daemon/endpoints/endpoint.hpp"

namespace velmora::daemon {

EndpointTable account_endpoints();

}  // namespace velmora::daemon
