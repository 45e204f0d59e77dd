#include "velmora/daemon/route_handlers.hpp"

#include "velmora/daemon/module_log.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/result_json.hpp"

namespace velmora::daemon {
namespace {

ApiAnswer json_answer(int status, std::string body) {
  return {status, std::move(body), std::string(kJsonContentType)};
}

// The endpoint guard, as far as it goes before the login exists: no node object, no endpoint.
Handler diapered_endpoint(const ApiState* state) {
  return [state](const ApiRequest&) {
    if (!state->gobj()) {
      LOG.error("Endpoint called before model construction");
      return json_answer(500, utils::string_to_result_json(false, -1, "User unauthenticated"));
    }
    throw utils::NotImplementedError("guarded endpoints are not built yet");
  };
}

ApiAnswer backend(const ApiState& state) { return {200, state.gobj_kwargs().backend_url}; }

}  // namespace

HandlerTable route_handlers(const ApiState* state) {
  HandlerTable handlers;
  for (std::size_t i = 0; i < ROUTES.size(); ++i) {
    const Route& route = ROUTES[i];
    if (route.guarded) {
      handlers[i] = diapered_endpoint(state);
    } else if (route.handler == "backend") {
      handlers[i] = [state](const ApiRequest&) { return backend(*state); };
    } else {  // identify_token, authenticate: the login is not built yet
      handlers[i] = [](const ApiRequest&) { return error_answer(501); };
    }
  }
  return handlers;
}

}  // namespace velmora::daemon
