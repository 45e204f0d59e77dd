#pragma once
// What this machine tells others about itself: its name and the address it is reached at.

#include <string>
#include <string_view>

namespace velmora::device {

// The machine's host name.
std::string host_name();

// The IPv4 address of the interface that carries the default route; else that of the first
// interface that is up and not loopback; else "127.0.0.1".
std::string host_address();

// The interface of the default IPv4 route (the lowest metric among those that are up) in the
// text of /proc/net/route; empty when there is none.
std::string default_route_interface(std::string_view route_table);

}  // namespace velmora::device
