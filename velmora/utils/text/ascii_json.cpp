#include "velmora/utils/text/ascii_json.hpp"

#include <cmath>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace velmora::utils {
namespace {

void append_json(std::string& out, const Value& value) {
  switch (value.type()) {
    case Value::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : value.items()) {
        if (!first) out += ", ";
        first = false;
        append_json(out, Value(key));
        out += ": ";
        append_json(out, member);
      }
      out.push_back('}');
      return;
    }
    case Value::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const Value& item : value) {
        if (!first) out += ", ";
        first = false;
        append_json(out, item);
      }
      out.push_back(']');
      return;
    }
    case Value::value_t::number_float: {
      const double number = value.get<double>();
      if (!std::isfinite(number)) throw ValueError("a float that is not finite has no JSON form");
      out += literal_text(value);  // the shortest digits that read back the same
      return;
    }
    case Value::value_t::binary: throw ValueError("bytes have no JSON form");
    default:
      try {
        out += value.dump(-1, ' ', /*ensure_ascii=*/true);
      } catch (const Value::type_error& failure) {
        throw ValueError(std::string("text that is not UTF-8 has no JSON form: ") +
                         failure.what());
      }
  }
}

}  // namespace

std::string ascii_json_text(const Value& value) {
  std::string out;
  append_json(out, value);
  return out;
}

}  // namespace velmora::utils
