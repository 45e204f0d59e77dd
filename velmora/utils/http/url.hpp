#pragma once
// URL reference resolution and percent-encoding.

#include <string>
#include <string_view>

namespace velmora::utils {

// The target URI of reference ref against base, by RFC 3986 section 5.2 (strict resolution,
// dot segments removed).
std::string url_join(std::string_view base, std::string_view ref);

// The URL as error texts may show it: without user information, query or fragment, which may
// hold credentials.
std::string url_for_display(std::string_view url);

// text with every byte percent-encoded (upper-case hex digits) except the unreserved characters
// of RFC 3986 (letters, digits, "-", ".", "_", "~") and those in keep.
std::string percent_encode(std::string_view text, std::string_view keep = "");

}  // namespace velmora::utils
