#include "velmora/device/host.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/utsname.h>

#include <climits>
#include <fstream>
#include <sstream>

namespace velmora::device {

std::string host_name() {
  struct utsname names {};
  return ::uname(&names) == 0 ? names.nodename : "";
}

std::string default_route_interface(std::string_view route_table) {
  std::istringstream lines{std::string(route_table)};
  std::string line;
  std::getline(lines, line);  // the column headings
  std::string best;
  long best_metric = LONG_MAX;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string iface, destination, gateway, mask;
    unsigned flags = 0;
    long refcnt = 0, use = 0, metric = 0;
    if (!(fields >> iface >> destination >> gateway >> std::hex >> flags >> std::dec >> refcnt >>
          use >> metric >> mask))
      continue;
    if (destination == "00000000" && mask == "00000000" && (flags & RTF_UP) &&
        metric < best_metric) {
      best = iface;
      best_metric = metric;
    }
  }
  return best;
}

std::string host_address() {
  std::ifstream routes("/proc/net/route");
  std::stringstream table;
  table << routes.rdbuf();
  const std::string preferred = default_route_interface(table.str());

  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) return "127.0.0.1";
  std::string chosen, first;
  for (const ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (!::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text)) continue;
    if (first.empty()) first = text;
    if (entry->ifa_name == preferred) {
      chosen = text;
      break;
    }
  }
  ::freeifaddrs(interfaces);
  if (!chosen.empty()) return chosen;
  return first.empty() ? "127.0.0.1" : first;
}

}  // namespace velmora::device
