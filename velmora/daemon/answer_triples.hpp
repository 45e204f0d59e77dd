#pragma once
// The answers the guard and the login make of answer triples.

#include <string>
#include <string_view>
#include <utility>

#include "velmora/daemon/server/api_exchange.hpp"
#include "velmora/utils/result_json.hpp"

namespace velmora::daemon {

// The JSON text of the answer triple (false, -1, message).
inline std::string refusal(std::string_view message) {
  return utils::string_to_result_json(false, -1, message);
}

// body with status, as "application/json; charset=utf-8".
inline ApiAnswer json_answer(int status, std::string body) {
  return {status, std::move(body), std::string(kJsonContentType)};
}

}  // namespace velmora::daemon
