#pragma once
// AuthError: an access token that the local API's checks refuse.

#include <string>
#include <string_view>

#include "velmora/utils/error.hpp"

namespace velmora::daemon {

class AuthError : public utils::Error {
 public:
  explicit AuthError(const std::string& error) : Error(error) {}
  // The refusal's fixed text, as the local API answers it; also the error's text form.
  std::string_view description() const noexcept { return what(); }
};

}  // namespace velmora::daemon
