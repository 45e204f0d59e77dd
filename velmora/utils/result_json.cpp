#include "velmora/utils/result_json.hpp"

namespace velmora::utils {
namespace {

Value answer(bool success, std::int64_t code, std::string_view msg) {
  return Value{{"success", success}, {"code", code}, {"msg", msg}};
}

std::string text_of(const Value& answer) {
  return answer.dump(-1, ' ', false, Value::error_handler_t::replace);
}

}  // namespace

std::string string_to_result_json(bool success, std::int64_t code, std::string_view msg) {
  return text_of(answer(success, code, msg));
}

std::string string_to_result_json(bool success, std::int64_t code, std::string_view msg,
                                  std::string_view field, Value value) {
  Value whole = answer(success, code, msg);
  whole[std::string(field)] = std::move(value);
  return text_of(whole);
}

}  // namespace velmora::utils
