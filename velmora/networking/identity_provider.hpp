#pragma once
// Where the node's access tokens and its user's name come from. Safe from any thread.

#include <string>
#include <string_view>

namespace velmora::networking {

// The application's client identifier at the identity provider.
inline constexpr std::string_view kClientId = "Qm7TzR2wXk9LpV4sNd8HbJ3fYc6GtA1e";

// The identity provider's domain, which may carry a port ("127.0.0.1:8443"): the environment
// variable VELMORA_IDP_DOMAIN when it is set and not empty, read at the first call, else the
// built-in default.
const std::string& identity_provider_domain();

// "https://" followed by identity_provider_domain(): the base of "/oauth/token" and "/userinfo".
std::string identity_provider_url();

}  // namespace velmora::networking
