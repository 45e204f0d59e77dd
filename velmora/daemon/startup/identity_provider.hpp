#pragma once
// Where the identity provider is and which audience access tokens must name: built-in defaults,
// overridden by the environment variables VELMORA_IDP_DOMAIN and VELMORA_API_AUDIENCE.

#include <array>
#include <string>
#include <string_view>

namespace velmora::daemon {

// The accepted signature algorithms of access tokens.
inline constexpr std::array<std::string_view, 1> ALGORITHMS{"RS256"};

struct IdentityProvider {
  std::string domain;    // AUTH0_DOMAIN: a host name or address, with an optional ":port"
  std::string audience;  // API_AUDIENCE: also the default backend base URL
};

// Reads the two variables; an unset or empty variable leaves its default.
IdentityProvider identity_provider_from_environment();

// Throws ValueError unless the domain is a host name or address with an optional port: anything
// else could change what the URLs built from it point at.
void check_domain(std::string_view domain);

}  // namespace velmora::daemon
