#include "velmora/daemon/startup/identity_provider.hpp"

#include <cstdlib>

#include "velmora/utils/error.hpp"

namespace velmora::daemon {
namespace {

constexpr std::string_view kDefaultDomain = "login.velmora.net";
constexpr std::string_view kDefaultAudience = "https://api.velmora.net";

std::string setting(const char* variable, std::string_view fallback) {
  const char* value = std::getenv(variable);
  return value && *value ? std::string(value) : std::string(fallback);
}

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

IdentityProvider identity_provider_from_environment() {
  return {setting("VELMORA_IDP_DOMAIN", kDefaultDomain),
          setting("VELMORA_API_AUDIENCE", kDefaultAudience)};
}

void check_domain(std::string_view domain) {
  if (!is_host_and_port(domain))
    throw utils::ValueError("the identity provider's domain must be a host with an optional port, "
                            "not '" + std::string(domain) + "'");
}

}  // namespace velmora::daemon
