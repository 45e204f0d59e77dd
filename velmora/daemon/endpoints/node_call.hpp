#pragma once
// The endpoints that only call one operation of the node object and then answer success: the
// thread controls, the wipe and the clearing of the histories. One row of a table each.

#include <string>

#include "velmora/daemon/endpoints/endpoint.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/utils/result_json.hpp"

namespace velmora::daemon {

// The answer (true, 0, "success") with no field.
inline const std::string& success_answer() {
  static const std::string answer = utils::string_to_result_json(true, 0, "success");
  return answer;
}

// The endpoint that calls operation on the node object, without arguments and on the request's
// thread, and answers success once it has returned; what it throws reaches the guard.
inline Endpoint node_call(void (model::Velmora::*operation)()) {
  return [operation](model::Velmora& gobj, const ApiRequest&) {
    (gobj.*operation)();
    return success_answer();
  };
}

}  // namespace velmora::daemon
