#pragma once
// Base64 with the URL and file name safe alphabet and no padding, as JSON Web Tokens and Keys
// write their binary parts. Pure functions: safe from any thread.

#include <optional>
#include <string>
#include <string_view>

namespace velmora::utils {

std::string base64url_encode(std::string_view bytes);

// The bytes of text, or nothing when text holds a character outside the alphabet (padding
// included) or a length no encoding has (a remainder of one character modulo four).
std::optional<std::string> base64url_decode(std::string_view text);

}  // namespace velmora::utils
