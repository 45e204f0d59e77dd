#pragma once
// Answers every request of the local API from the route index: 404 for an unknown path, OPTIONS
// itself, 405 with "Allow" for a method the route does not answer (before any handler runs), HEAD
// through the GET handler, the route's handler otherwise; the cross-origin headers on every
// answer. Built once before serving; answer() may be called from many threads at once.

#include <array>
#include <utility>

#include "velmora/daemon/server/api_exchange.hpp"
#include "velmora/daemon/server/route_index.hpp"

namespace velmora::daemon {

// One handler per route of ROUTES, at the same position.
using HandlerTable = std::array<Handler, ROUTES.size()>;

class Dispatcher {
 public:
  explicit Dispatcher(HandlerTable handlers) : handlers_(std::move(handlers)) {}

  // Never throws for a handler's failure: a BadRequest is answered with the 400 page, any other
  // failure logged on "velmora.daemon" and answered with the 500 page. A HEAD answer still carries
  // the GET body; the server drops it on the wire.
  ApiAnswer answer(const ApiRequest& request) const;

 private:
  ApiAnswer route(const ApiRequest& request) const;

  HandlerTable handlers_;
};

// An HTML error page answer of that status.
ApiAnswer error_answer(int status);

}  // namespace velmora::daemon
