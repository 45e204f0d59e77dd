#pragma once
// URL reference resolution.

#include <string>
#include <string_view>

namespace velmora::utils {

// The target URI of reference ref against base, by RFC 3986 section 5.2 (strict resolution,
// dot segments removed).
std::string url_join(std::string_view base, std::string_view ref);

}  // namespace velmora::utils
