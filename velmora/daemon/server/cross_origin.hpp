#pragma once
// The cross-origin headers of a permissive default configuration: any origin, the common
// methods, any requested header, no credentials.

#include "velmora/daemon/server/api_exchange.hpp"

namespace velmora::daemon {

// Adds to answer the cross-origin headers that request calls for. Every answer gets
// "Access-Control-Allow-Origin": "*" without an "Origin", else that origin and "Vary: Origin". A
// pre-flight (OPTIONS with "Access-Control-Request-Method" naming an allowed method) also gets the
// allowed methods and the requested headers.
void add_cross_origin_headers(const ApiRequest& request, ApiAnswer& answer);

}  // namespace velmora::daemon
