#pragma once
// The dynamic value: JSON bodies, labels, backend answers and profiles. Member order is kept.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace velmora::utils {

using Value = nlohmann::ordered_json;

// A value's truth as a condition reads it: false, zero, null and an empty text, list, mapping or
// binary value are false; every other value is true.
inline bool truth_value(const Value& value) noexcept {
  switch (value.type()) {
    case Value::value_t::boolean: return value.get<bool>();
    case Value::value_t::number_integer: return value.get<std::int64_t>() != 0;
    case Value::value_t::number_unsigned: return value.get<std::uint64_t>() != 0;
    case Value::value_t::number_float: return value.get<double>() != 0.0;
    case Value::value_t::string: return !value.get_ref<const std::string&>().empty();
    case Value::value_t::binary: return !value.get_binary().empty();
    case Value::value_t::array:
    case Value::value_t::object: return !value.empty();
    default: return false;  // null
  }
}

}  // namespace velmora::utils
