#pragma once
// Where the first request among the bytes a connection received ends, so that the server reads a
// request whole before it parses it and a client that sends one slowly holds no thread while it
// does. Framing only: the parser checks the rest.
//
// RequestFraming keeps what it has found between calls (the head's end, the chunk reached), so
// that a request's bytes are each looked at about once however they arrive: in one piece or a
// byte at a time. One thread at a time uses it.

#include <cstddef>
#include <string_view>

namespace velmora::daemon {

struct RequestExtent {
  std::size_t length = 0;    // of the first request; 0 while more bytes must come
  bool close_after = false;  // what follows it cannot be taken for the next request
};

class RequestFraming {
 public:
  RequestFraming(std::size_t max_head, std::size_t max_body) noexcept
      : max_head_(max_head), max_body_(max_body) {}

  // The first request of bytes: its head up to the blank line, then for POST, PUT and PATCH the
  // body its "Content-Length" or chunks give (none when it declares none). A body declared on
  // another method stays unread, as does one of another transfer coding or an unreadable length:
  // the request ends with its head, and its connection after its answer. A head longer than
  // max_head, a body longer than max_body, or malformed chunks make the request end where its
  // bytes do, to be refused, and its connection closed.
  //
  // Between two calls bytes only grow at their end, until a call gives the request's length; the
  // caller then drops that many bytes from their front, and the next call frames the next request.
  RequestExtent extent(std::string_view bytes);

  // Bytes looked at over every call so far.
  std::size_t scanned() const noexcept { return scanned_; }

 private:
  enum class Stage { kHead, kLength, kChunkSize, kChunkData, kTrailer };

  RequestExtent frame(std::string_view bytes);
  RequestExtent after_head(std::string_view bytes);
  RequestExtent chunks(std::string_view bytes);
  std::size_t find(std::string_view bytes, std::string_view sought, std::size_t from,
                   std::size_t end);

  const std::size_t max_head_;
  const std::size_t max_body_;
  Stage stage_ = Stage::kHead;
  std::size_t searched_ = 0;  // the search under way found nothing before this
  std::size_t head_end_ = 0;
  std::size_t at_ = 0;     // where the chunk-size line, chunk data or trailer line starts
  std::size_t chunk_ = 0;  // the size of the chunk at at_
  std::size_t body_ = 0;   // the declared length, or the chunk data so far
  std::size_t scanned_ = 0;
};

}  // namespace velmora::daemon
