#pragma once
// A request's body read as JSON, and the failure of a request the local API cannot read.

#include <string>

#include "velmora/daemon/server/api_exchange.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::daemon {

// A request whose body the API cannot read. Where no handler catches it, the dispatcher answers
// it with its 400 page.
class BadRequest : public utils::Error {
 public:
  explicit BadRequest(const std::string& error) : Error(error) {}
};

// The body parsed as JSON, whatever the request's content type. Throws BadRequest "Failed to
// decode JSON object: <why>" for a body that is not JSON text (an empty one included).
utils::Value request_json(const ApiRequest& request);

}  // namespace velmora::daemon
