#include "velmora/daemon/startup/serving_url.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace velmora::daemon {
namespace {

bool is_loopback(const std::string& host) {
  if (host == "localhost") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

}  // namespace

std::string serving_url(const std::string& host, int port) {
  std::string shown = host;
  if (is_loopback(host)) {
    shown = "localhost";
  } else if (host.find(':') != std::string::npos) {
    shown = "[" + host + "]";
  }
  return "https://" + shown + ":" + std::to_string(port) + "/";
}

}  // namespace velmora::daemon
