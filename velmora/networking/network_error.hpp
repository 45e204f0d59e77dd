#pragma once
// Failures of backend requests: the backend answered with a non-zero "code". Immutable once made:
// safe to read from any thread.

#include <string>

#include "velmora/utils/error.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::networking {

using utils::Value;

// Base class for errors occuring during communication on the network. Its text form is
// "Code <code>: <msg>\n<req_trace>", a value that is not text shown as its literal text.
class NetworkError : public utils::RuntimeError {
 public:
  NetworkError(Value code, Value msg, std::string req_trace);

  const Value& code() const noexcept { return code_; }    // as the answer gave it
  const Value& msg() const noexcept { return msg_; }      // as the answer gave it
  const std::string& req_trace() const noexcept { return req_trace_; }

 private:
  Value code_;
  Value msg_;
  std::string req_trace_;
};

// Occurs when the backend indicates a request was invalid and could not be handled.
class ValidityError : public NetworkError {
 public:
  using NetworkError::NetworkError;
};

// Occurs when the backend can't handle a valid request.
class BackendError : public NetworkError {
 public:
  using NetworkError::NetworkError;
};

// The text form shared by the errors and the warning of an answer that is valid-false with code 0.
std::string network_error_text(const Value& code, const Value& msg, const std::string& req_trace);

}  // namespace velmora::networking
