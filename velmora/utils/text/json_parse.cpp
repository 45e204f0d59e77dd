#include "velmora/utils/text/json_parse.hpp"

#include <string>

#include "velmora/utils/error.hpp"

namespace velmora::utils {
namespace {

struct TooDeep {};

}  // namespace

Value parse_json(std::string_view text) {
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
    throw ValueError("JSON text holds a NUL byte at offset " + std::to_string(nul));
  }
  // depth counts the enclosing containers. The parser itself is iterative; the check keeps the recursive copies and dumps of the value
  // that follow on a bounded stack.
  const Value::parser_callback_t depth_check = [](int depth, Value::parse_event_t event, Value&) {
    if (depth >= kMaxJsonDepth && (event == Value::parse_event_t::object_start ||
                                  event == Value::parse_event_t::array_start)) {
      throw TooDeep{};
    }
    return true;
  };
  try {
    return Value::parse(text.begin(), text.end(), depth_check);
  } catch (const TooDeep&) {
    throw ValueError("JSON text nested deeper than " + std::to_string(kMaxJsonDepth));
  } catch (const Value::exception& error) {
    throw ValueError(std::string("malformed JSON text: ") + error.what());
  }
}

}  // namespace velmora::utils
