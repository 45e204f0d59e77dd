#include "velmora/daemon/auth/unverified_token.hpp"

#include <optional>

#include "velmora/daemon/auth/auth_error.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/base64url.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::daemon {
namespace {

[[noreturn]] void refuse() { throw AuthError("Incorrectly formatted authentication token"); }

std::string decoded(std::string_view segment) {
  std::optional<std::string> bytes = utils::base64url_decode(segment);
  if (!bytes) refuse();
  return std::move(*bytes);
}

}  // namespace

UnverifiedToken read_unverified_token(std::string_view token) {
  const std::size_t first_dot = token.find('.');
  const std::size_t second_dot =
      first_dot == std::string_view::npos ? first_dot : token.find('.', first_dot + 1);
  if (second_dot == std::string_view::npos || token.find('.', second_dot + 1) != token.npos)
    refuse();
  UnverifiedToken read{.signing_input = token.substr(0, second_dot)};
  try {
    read.header = utils::parse_json(decoded(token.substr(0, first_dot)));
  } catch (const utils::ValueError&) {
    refuse();
  }
  if (!read.header.is_object()) refuse();
  read.payload = decoded(token.substr(first_dot + 1, second_dot - first_dot - 1));
  read.signature = decoded(token.substr(second_dot + 1));
  return read;
}

}  // namespace velmora::daemon
