#pragma once
// validate_data: a request's JSON body reduced to the keys an endpoint declares, each value
// converted to the declared kind. Pure function: safe from any thread.

#include <initializer_list>
#include <string_view>

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
utils::Value validate_data(const utils::Value& raw_data = utils::Value::object(),
                           std::initializer_list<RequiredKey> required = {});

}  // namespace velmora::daemon
