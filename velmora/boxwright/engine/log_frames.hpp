#pragma once
// The engine's multiplexed log stream of a container without a terminal: frames of an 8-byte
// header (stream 0 stdin, 1 stdout or 2 stderr; three zero bytes; payload length, big-endian
// 32 bits) followed by the payload.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "velmora/utils/http/http_client.hpp"

namespace velmora::boxwright::engine {

// The status of every log answer the engine sends.
inline constexpr long kLogAnswerStatus = 200;

// Passes on the payloads of the frames it is fed, in order, whatever their stream. Pieces may cut
// frames anywhere. One thread uses it at a time.
class LogDemultiplexer {
 public:
  // Hands payloads, piece by piece, to out.
  explicit LogDemultiplexer(utils::ChunkSink out) : out_(std::move(out)) {}

  // Throws EngineError with kLogAnswerStatus for a header that no frame starts with; what out
  // throws passes through.
  void feed(std::string_view piece);

  // Whether the stream fed so far ends between frames (a cut-off stream does not).
  bool at_frame_end() const noexcept { return header_size_ == 0 && payload_left_ == 0; }

 private:
  utils::ChunkSink out_;
  std::array<unsigned char, 8> header_{};
  std::size_t header_size_ = 0;     // header bytes seen of the frame being read
  std::uint32_t payload_left_ = 0;  // payload bytes still to come of the current frame
};

}  // namespace velmora::boxwright::engine
