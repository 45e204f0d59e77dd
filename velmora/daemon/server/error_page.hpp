#pragma once
// The short HTML pages of the local API's HTTP errors.

#include <string>

namespace velmora::daemon {

// "<status> <reason>" as title and heading, and one sentence on what went wrong; any status.
std::string error_page(int status);

}  // namespace velmora::daemon
