#include "velmora/networking/identity_provider.hpp"

#include <cstdlib>

#include "velmora/utils/error.hpp"

namespace velmora::networking {
namespace {

bool is_host_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.';
}

// A host name or IPv4 address, or an IPv6 address in brackets, then optionally ":" and a port.
bool is_host_and_port(std::string_view domain) {
  std::string_view host = domain;
  std::string_view port;
  if (domain.starts_with('[')) {
    const std::size_t close = domain.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    for (char c : domain.substr(1, close - 1))
      if (!is_host_character(c) && c != ':') return false;
    host = "ipv6";
    if (close + 1 < domain.size()) {
      if (domain[close + 1] != ':') return false;
      port = domain.substr(close + 2);
      if (port.empty()) return false;
    }
  } else if (const std::size_t colon = domain.find(':'); colon != std::string_view::npos) {
    host = domain.substr(0, colon);
    port = domain.substr(colon + 1);
    if (port.empty()) return false;
  }
  if (host.empty() || port.size() > 5) return false;
  for (char c : host)
    if (!is_host_character(c)) return false;
  for (char c : port)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

const std::string& identity_provider_domain() {
  static const std::string domain = [] {
    const char* set = std::getenv("VELMORA_IDP_DOMAIN");
    return set && *set ? std::string(set) : std::string(kDefaultIdentityProviderDomain);
  }();
  return domain;
}

void check_domain(std::string_view domain) {
  if (!is_host_and_port(domain))
    throw utils::ValueError("the identity provider's domain must be a host with an optional port, "
                            "not '" + std::string(domain) + "'");
}

std::string identity_provider_url() {
  check_domain(identity_provider_domain());
  return "https://" + identity_provider_domain();
}

}  // namespace velmora::networking
