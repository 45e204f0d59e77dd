#include "velmora/networking/identity_provider.hpp"

#include <cstdlib>

namespace velmora::networking {

const std::string& identity_provider_domain() {
  static const std::string domain = [] {
    const char* set = std::getenv("VELMORA_IDP_DOMAIN");
    return std::string(set && *set ? set : "login.velmora.net");
  }();
  return domain;
}

std::string identity_provider_url() { return "https://" + identity_provider_domain(); }

}  // namespace velmora::networking
