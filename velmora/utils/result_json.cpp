#include "velmora/utils/result_json.hpp"

namespace velmora::utils {
namespace {

Value answer(bool success, std::int64_t code, std::string_view msg) {
  return Value{{"success", success}, {"code", code}, {"msg", msg}};
}

}  // namespace

std::string answer_json(const Value& value) {
  return value.dump(-1, ' ', false, Value::error_handler_t::replace);
}

std::string string_to_result_json(bool success, std::int64_t code, std::string_view msg) {
  return answer_json(answer(success, code, msg));
}

std::string string_to_result_json(bool success, std::int64_t code, std::string_view msg,
                                  std::string_view field, Value value) {
  Value whole = answer(success, code, msg);
  whole[std::string(field)] = std::move(value);
  return answer_json(whole);
}

std::string string_to_result_json_list(bool success, std::int64_t code, std::string_view msg,
                                       std::string_view field,
                                       const std::vector<std::string_view>& items) {
  const std::string head = string_to_result_json(success, code, msg);
  const std::string key = answer_json(field);
  std::size_t size = head.size() + key.size() + 4;
  for (const std::string_view item : items) size += item.size() + 1;
  std::string whole;
  whole.reserve(size);
  whole.append(head, 0, head.size() - 1);  // without the closing brace
  ((whole += ',') += key) += ":[";
  for (const std::string_view item : items) (whole += item) += ',';
  if (!items.empty()) whole.pop_back();
  whole += "]}";
  return whole;
}

}  // namespace velmora::utils
