#pragma once
// What a client of the local API can make the daemon hold: connections, threads, bytes and time.
// Each bound is listed, with what happens past it, in the README's "Bounds".

#include <chrono>
#include <cstddef>

namespace velmora::daemon {

// Connections open at once. A connection past it closes the one that has gone longest without a
// request answered, among those that hold no request being answered (idle, in their handshake,
// or with a request not yet whole); when every one holds a request being answered it is closed
// at once.
inline constexpr std::size_t kMaxConnections = 1024;
// Threads that serve requests; a waiting connection holds none.
inline constexpr std::size_t kServingThreads = 8;
// A connection with no request under way (silent since it came, or kept between requests) is
// closed after this long.
inline constexpr std::chrono::seconds kIdleConnectionTime{10};
// The TLS handshake must be done within this long of its first byte, else the connection is
// closed.
inline constexpr std::chrono::seconds kHandshakeTime{5};
// A request must have come whole within this long of its first byte, and an answer being sent
// must not wait this long for the socket to take a byte of it, else the connection is closed.
inline constexpr std::chrono::seconds kRequestTime{30};
// TLS records read or written, and requests answered, on one connection before its serving
// thread turns to the other connections that are ready.
inline constexpr std::size_t kRecordsPerTurn = 64;
// A request's head (request line and headers) and body; past them the request is answered 400
// (a head, or a body in chunks) or 413 (a body of declared length) and its connection closed.
inline constexpr std::size_t kMaxRequestHead = std::size_t{64} << 10;
inline constexpr std::size_t kMaxRequestBody = std::size_t{1} << 20;

// The time and count bounds of one local API server; the defaults are the constants above, and
// tests build servers with shorter ones.
struct ServerBounds {
  std::size_t max_connections = kMaxConnections;
  std::size_t serving_threads = kServingThreads;
  std::chrono::milliseconds idle_time = kIdleConnectionTime;
  std::chrono::milliseconds handshake_time = kHandshakeTime;
  std::chrono::milliseconds request_time = kRequestTime;
  std::size_t records_per_turn = kRecordsPerTurn;
};

}  // namespace velmora::daemon
