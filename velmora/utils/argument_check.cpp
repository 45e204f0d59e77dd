#include "velmora/utils/argument_check.hpp"

#include <string>

#include "velmora/utils/text/utf8.hpp"

namespace velmora::utils {

std::string_view type_name(const Value& value) noexcept {
  switch (value.type()) {
    case Value::value_t::null: return "NoneType";
    case Value::value_t::object: return "dict";
    case Value::value_t::array: return "list";
    case Value::value_t::string: return "str";
    case Value::value_t::boolean: return "bool";
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned: return "int";
    case Value::value_t::number_float: return "float";
    case Value::value_t::binary: return "bytes";
    case Value::value_t::discarded: break;
  }
  return "NoneType";
}

TypeError argument_type_error(std::string_view name, std::string_view expected,
                              std::string_view got) {
  std::string text = "Argument '";
  text += utf8_prefix(name, 200);
  text += "' has incorrect type (expected ";
  text += utf8_prefix(expected, 200);
  text += ", got ";
  text += utf8_prefix(got, 200);
  text += ")";
  return TypeError(text);
}

void check_text_or_none(const Value& value, std::string_view name) {
  if (!value.is_string() && !value.is_null())
    throw argument_type_error(name, "str", type_name(value));
}

void check_bytes_or_none(const Value& value, std::string_view name) {
  if (!value.is_binary() && !value.is_null())
    throw argument_type_error(name, "bytes", type_name(value));
}

}  // namespace velmora::utils
