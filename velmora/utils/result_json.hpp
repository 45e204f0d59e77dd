#pragma once
// The JSON text of a local API answer: {"success": ..., "code": ..., "msg": ...}, followed by the
// one named field when given. Text that is not valid UTF-8 is written with U+FFFD in its place, so
// the call succeeds for every value.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/utils/value.hpp"

namespace velmora::utils {

std::string string_to_result_json(bool success, std::int64_t code, std::string_view msg);

std::string string_to_result_json(bool success, std::int64_t code, std::string_view msg,
                                  std::string_view field, Value value);

// The JSON text of value as an answer writes it: compact, invalid UTF-8 replaced.
std::string answer_json(const Value& value);

// The answer with the named field holding a list whose items are given as their JSON texts
// (answer_json's), in order: large answers are put together from parts kept as text. The same
// text as string_to_result_json gives for the list of the items' values.
std::string string_to_result_json_list(bool success, std::int64_t code, std::string_view msg,
                                       std::string_view field,
                                       const std::vector<std::string_view>& items);

}  // namespace velmora::utils
