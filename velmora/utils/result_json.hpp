#pragma once
// The JSON text of a local API answer: {"success": ..., "code": ..., "msg": ...}, followed by the
// one named field when given. Text that is not valid UTF-8 is written with U+FFFD in its place, so
// the call succeeds for every value.

#include <cstdint>
#include <string>
#include <string_view>

#include "velmora/utils/value.hpp"

namespace velmora::utils {

std::string string_to_result_json(bool success, std::int64_t code, std::string_view msg);

std::string string_to_result_json(bool success, std::int64_t code, std::string_view msg,
                                  std::string_view field, Value value);

}  // namespace velmora::utils
