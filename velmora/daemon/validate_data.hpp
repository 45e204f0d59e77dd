#pragma once
// validate_data: a request's JSON body reduced to the keys an endpoint declares, each value
// converted to the declared kind. Pure functions: safe from any thread.

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "velmora/daemon/server/api_exchange.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::daemon {

// The conversions of body values; neither ever fails.
//   text:  a text as it stands; any other value its literal text (1 -> "1", 1.5 -> "1.5",
//          true -> "True", null -> "None", a list or mapping its literal text)
//   truth: false for false, zero, null and an empty text, list or mapping; true otherwise (the
//          texts "false" and "0" too)
enum class Conversion { text, truth };

struct RequiredKey {
  std::string_view key;
  Conversion conversion;
};

// A new mapping of exactly the required keys, in their order, each holding the body's value
// converted; the body's other keys are dropped. Throws KeyError (the key) for the first required
// key the body lacks, TypeError when a key is required of a body that is no JSON object.
utils::Value validate_data(const utils::Value& raw_data, std::span<const RequiredKey> required);

// The same with the keys written out where it is called: {{"uuid", Conversion::text}}.
inline utils::Value validate_data(const utils::Value& raw_data = utils::Value::object(),
                                  std::initializer_list<RequiredKey> required = {}) {
  return validate_data(raw_data, std::span<const RequiredKey>(required.begin(), required.size()));
}

// The value of key in the request's body, read as JSON (request_json) and reduced to that key
// with the text conversion. Throws what reading and reducing the body throw.
std::string body_text(const ApiRequest& request, std::string_view key);

}  // namespace velmora::daemon
