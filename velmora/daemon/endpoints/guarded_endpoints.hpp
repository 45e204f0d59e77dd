#pragma once
// Every guarded endpoint the node has, joined from the tables of its groups of endpoints.
//
// To add endpoints: write them in a file of their group (endpoints/<group>.cpp), each a function
// of the node object and the request (endpoint.hpp), with a function that returns the group's
// table of rows, {"getMyUUID", getMyUUID} (a row that calls one operation of the node object
// with the body's values: action(), action_endpoint.hpp); then join that table in
// guarded_endpoints.cpp. A guarded route without an endpoint still passes the guard, then fails
// inside it.

#include "velmora/daemon/endpoints/endpoint.hpp"

namespace velmora::daemon {

EndpointTable guarded_endpoints();

}  // namespace velmora::daemon
