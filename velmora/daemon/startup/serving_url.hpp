#pragma once
// The address the serving line names: one a client can verify against the local API's
// certificate, which names localhost only.

#include <string>

namespace velmora::daemon {

// "https://localhost:<port>/" when host is a loopback address or "localhost", else
// "https://<host>:<port>/" (an IPv6 address in brackets).
std::string serving_url(const std::string& host, int port);

}  // namespace velmora::daemon
