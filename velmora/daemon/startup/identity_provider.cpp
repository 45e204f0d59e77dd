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

}  // namespace velmora::daemon
