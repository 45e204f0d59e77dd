#pragma once
// Where the first request among the bytes a connection received ends, so that the server reads a
// request whole before it parses it and a client that sends one slowly holds no thread while it
// does. Framing only: the parser checks the rest. Pure function: safe from any thread.

#include <cstddef>
#include <string_view>

namespace velmora::daemon {

struct RequestExtent {
  std::size_t length = 0;    // of the first request; 0 while more bytes must come
  bool close_after = false;  // what follows it cannot be taken for the next request
};

// The first request of bytes: its head up to the blank line, then for POST, PUT and PATCH the
// body its "Content-Length" or chunks give (none when it declares none). A body declared on
// another method stays unread, as does one of another transfer coding or an unreadable length:
// the request ends with its head, and its connection after its answer. A head longer than
// max_head, a body longer than max_body, or malformed chunks make the request end where its bytes
// do, to be refused, and its connection closed.
RequestExtent request_extent(std::string_view bytes, std::size_t max_head, std::size_t max_body);

}  // namespace velmora::daemon
