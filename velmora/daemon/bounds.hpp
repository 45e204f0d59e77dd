#pragma once
// What a client of the local API can make the daemon hold: connections, threads, bytes and time.
// Each bound is listed, with what happens past it, in the README's "Bounds".

#include <chrono>
#include <cstddef>

namespace velmora::daemon {

// Connections open at once. A connection past it closes the longest idle one (no request under
// way), or, when every one is busy, is closed at once.
inline constexpr std::size_t kMaxConnections = 1024;
// Threads that serve requests; a waiting connection holds none.
inline constexpr std::size_t kServingThreads = 8;
// A connection with no request under way (silent since it came, or kept between requests) is
// closed after this long.
inline constexpr std::chrono::seconds kIdleConnectionTime{10};
// The TLS handshake, a request once begun, and the sending of its answer must each be done within
// this long, else the connection is closed.
inline constexpr std::chrono::seconds kRequestTime{30};
// A request's head (request line and headers) and body; past them the request is answered 400
// (a head, or a body in chunks) or 413 (a body of declared length) and its connection closed.
inline constexpr std::size_t kMaxRequestHead = std::size_t{64} << 10;
inline constexpr std::size_t kMaxRequestBody = std::size_t{1} << 20;

}  // namespace velmora::daemon
