#pragma once
// The job endpoints: sending a job folder to another device ("/sendDockerizedApp"), the eight
// controls of launches (forwarded to the receiving node as packages) and landings (applied to the
// local container), and the two histories, listed and cleared: the job history is the store of
// launches, the work history that of landings.

#include "velmora/daemon/endpoints/endpoint.hpp"

namespace velmora::daemon {

EndpointTable job_endpoints();

}  // namespace velmora::daemon
