#include "velmora/daemon/route_handlers.hpp"

#include <memory>
#include <stdexcept>
#include <string>

#include "velmora/daemon/endpoints/guard.hpp"
#include "velmora/daemon/login/login_routes.hpp"

namespace velmora::daemon {
namespace {

// The position in ROUTES of the route whose handler is named name.
std::size_t route_of(std::string_view name) {
  for (std::size_t i = 0; i < ROUTES.size(); ++i)
    if (ROUTES[i].handler == name) return i;
  throw std::logic_error("no route has the handler " + std::string(name));
}

}  // namespace

HandlerTable route_handlers(ApiState* state, const EndpointTable& endpoints) {
  std::array<Endpoint, ROUTES.size()> endpoint_of;
  for (const EndpointRow& row : endpoints) {
    const std::size_t i = route_of(row.handler);
    if (!ROUTES[i].guarded)
      throw std::logic_error("the route of " + std::string(row.handler) + " is not guarded");
    if (endpoint_of[i]) throw std::logic_error("two endpoints for " + std::string(row.handler));
    endpoint_of[i] = row.endpoint;
  }
  HandlerTable handlers;
  for (std::size_t i = 0; i < ROUTES.size(); ++i)
    if (ROUTES[i].guarded)
      handlers[i] = diapered_endpoint(state, ROUTES[i].handler, std::move(endpoint_of[i]));

  const auto login = std::make_shared<Login>(state);
  handlers[route_of("identify_token")] = [state](const ApiRequest& request) {
    return identify_token(*state, request);
  };
  handlers[route_of("backend")] = [state](const ApiRequest&) { return backend(*state); };
  handlers[route_of("authenticate")] = [login](const ApiRequest& request) {
    return login->authenticate(request);
  };
  return handlers;
}

}  // namespace velmora::daemon
