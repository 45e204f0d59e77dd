#pragma once
// An access token read without verifying anything: a JSON Web Signature in compact form, three
// base64url segments apart by dots. Pure function: safe from any thread.

#include <string>
#include <string_view>

#include "velmora/utils/value.hpp"

namespace velmora::daemon {

struct UnverifiedToken {
  std::string_view signing_input;  // the first two segments and their dot, as in the token
  utils::Value header = {};        // a JSON object
  std::string payload = {};        // the claims as the second segment encodes them, not yet read
  std::string signature = {};
};

// Throws AuthError "Incorrectly formatted authentication token" unless token has exactly three
// segments, each base64url, the first a JSON object. The result views token.
UnverifiedToken read_unverified_token(std::string_view token);

}  // namespace velmora::daemon
