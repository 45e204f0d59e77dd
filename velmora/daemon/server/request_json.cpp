#include "velmora/daemon/server/request_json.hpp"

#include "velmora/utils/text/json_parse.hpp"

namespace velmora::daemon {

utils::Value request_json(const ApiRequest& request) {
  try {
    return utils::parse_json(request.body());
  } catch (const utils::ValueError& error) {
    throw BadRequest(std::string("Failed to decode JSON object: ") + error.what());
  }
}

}  // namespace velmora::daemon
