#include "velmora/networking/network_error.hpp"

#include "velmora/utils/text/literal_text.hpp"

namespace velmora::networking {

std::string network_error_text(const Value& code, const Value& msg, const std::string& req_trace) {
  return "Code " + utils::display_text(code) + ": " + utils::display_text(msg) + "\n" + req_trace;
}

NetworkError::NetworkError(Value code, Value msg, std::string req_trace)
    : RuntimeError(network_error_text(code, msg, req_trace)),
      code_(std::move(code)),
      msg_(std::move(msg)),
      req_trace_(std::move(req_trace)) {}

}  // namespace velmora::networking
