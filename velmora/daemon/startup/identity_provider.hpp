#pragma once
// Where the identity provider is and which audience access tokens must name: the domain as the
// backend client reads it (networking::identity_provider_domain), the audience the environment
// variable VELMORA_API_AUDIENCE when set, else the built-in default.

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

// Reads the domain and the audience; an unset or empty audience variable leaves its default.
IdentityProvider identity_provider_from_environment();

// Where the domain came from, for a message: "VELMORA_IDP_DOMAIN=<value>", or "<domain> (the
// default: VELMORA_IDP_DOMAIN is not set)".
std::string domain_origin(const IdentityProvider& provider);

}  // namespace velmora::daemon
