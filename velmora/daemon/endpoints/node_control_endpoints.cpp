#include "velmora/daemon/endpoints/node_control_endpoints.hpp"

#include "velmora/daemon/endpoints/node_call.hpp"

namespace velmora::daemon {

EndpointTable node_control_endpoints() {
  using model::Velmora;
  return {
      {"refreshUserData", node_call(&Velmora::refresh_user_data)},
      {"startThreads", node_call(&Velmora::start_threads)},
      {"killThreads", node_call(&Velmora::kill_threads)},
      {"pauseThreads", node_call(&Velmora::pause_threads)},
      {"unpauseThreads", node_call(&Velmora::unpause_threads)},
  };
}

}  // namespace velmora::daemon
