#include "velmora/daemon/validate_data.hpp"

#include <string>

#include "velmora/daemon/server/request_json.hpp"
#include "velmora/utils/argument_check.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace velmora::daemon {
namespace {

utils::Value converted(const utils::Value& value, Conversion conversion) {
  if (conversion == Conversion::truth) return utils::truth_value(value);
  return utils::display_text(value);
}

}  // namespace

utils::Value validate_data(const utils::Value& raw_data, std::span<const RequiredKey> required) {
  utils::Value data = utils::Value::object();
  for (const auto& [key, conversion] : required) {
    if (!raw_data.is_object())
      throw utils::TypeError("the request body must be a JSON object, not " +
                             std::string(utils::type_name(raw_data)));
    const auto found = raw_data.find(key);
    if (found == raw_data.end()) throw utils::KeyError(utils::Value(key));
    data[std::string(key)] = converted(*found, conversion);
  }
  return data;
}

std::string body_text(const ApiRequest& request, std::string_view key) {
  return validate_data(request_json(request), {{key, Conversion::text}})
      .at(std::string(key))
      .get<std::string>();
}

}  // namespace velmora::daemon
