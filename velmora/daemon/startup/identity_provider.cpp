#include "velmora/daemon/startup/identity_provider.hpp"

#include <cstdlib>

#include "velmora/model/node_settings.hpp"
#include "velmora/networking/identity_provider.hpp"

namespace velmora::daemon {

IdentityProvider identity_provider_from_environment() {
  const char* audience = std::getenv("VELMORA_API_AUDIENCE");
  return {networking::identity_provider_domain(),
          audience && *audience ? std::string(audience) : std::string(model::kDefaultBackendUrl)};
}

std::string domain_origin(const IdentityProvider& provider) {
  const char* set = std::getenv("VELMORA_IDP_DOMAIN");
  if (set && *set) return "VELMORA_IDP_DOMAIN=" + std::string(set);
  return provider.domain + " (the default: VELMORA_IDP_DOMAIN is not set)";
}

}  // namespace velmora::daemon
