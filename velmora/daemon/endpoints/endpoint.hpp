#pragma once
// What a guarded endpoint of the local API is, and how a group of endpoints hands them over: a
// table of rows, each naming its route's handler ("getMyUUID", "stop_launch"; the route index
// holds the names). The endpoint guard (guard.hpp) wraps every one.

#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "velmora/daemon/server/api_exchange.hpp"

namespace velmora::model {
class Velmora;
}

namespace velmora::daemon {

// An endpoint's JSON text: made for its request, or kept and shared by many answers.
using EndpointText = std::variant<std::string, KeptText>;

// Answers one request of its route on the node object: the answer's JSON text (an answer triple
// of string_to_result_json), which the guard sends with status 200. Reports every failure by
// throwing it; the guard answers it with status 500 and the failure's text. It sets no status and
// no header, and is called on many request threads at once.
using Endpoint = std::function<EndpointText(model::Velmora& gobj, const ApiRequest& request)>;

struct EndpointRow {
  std::string_view handler;  // the route's handler name in the route index
  Endpoint endpoint;
};

using EndpointTable = std::vector<EndpointRow>;

}  // namespace velmora::daemon
