#pragma once
// The identity provider: where it is, and the user's name it gives for an access token. The one
// reading of its domain for every module. Safe from any thread.

#include <string>
#include <string_view>

namespace velmora::networking {

// The application's client identifier at the identity provider.
inline constexpr std::string_view kClientId = "Qm7TzR2wXk9LpV4sNd8HbJ3fYc6GtA1e";

// The identity provider's domain when VELMORA_IDP_DOMAIN is unset or empty.
inline constexpr std::string_view kDefaultIdentityProviderDomain = "login.velmora.net";

// The identity provider's domain, which may carry a port ("127.0.0.1:8443"): the environment
// variable VELMORA_IDP_DOMAIN when it is set and not empty, read at the first call, else
// kDefaultIdentityProviderDomain. Not checked here: see check_domain.
const std::string& identity_provider_domain();

// Throws ValueError unless domain is a host name or address with an optional port: anything else
// could change what the URLs built from it point at.
void check_domain(std::string_view domain);

// "https://" followed by identity_provider_domain(), once check_domain accepts it: the base of
// "/oauth/token" and "/userinfo".
std::string identity_provider_url();

// The user's name for access_token: the member "name" of the answer of "/userinfo" at
// identity_provider (a base URL such as identity_provider_url()), within a minute. Throws
// RuntimeError "Could not retrieve user information: " followed by the HTTPError's text for an
// error status, ConnectionError, ValueError for a header value the client refuses or an answer
// that is not JSON, KeyError for one without "name", TypeError when it is no JSON object or the
// name no text.
std::string fetch_username(const std::string& identity_provider, std::string_view access_token);

}  // namespace velmora::networking
