#pragma once
// The engine's multiplexed log stream of a container without a terminal: frames of an 8-byte
// header (stream 0 stdin, 1 stdout or 2 stderr; three zero bytes; payload length, big-endian
// 32 bits) followed by the payload.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::boxwright::engine {

// Joins the payloads of the frames it is fed, in order, whatever their stream. Pieces may cut
// frames anywhere.
class LogDemultiplexer {
 public:
  // Appends payloads to *out, which must outlive the demultiplexer.
  explicit LogDemultiplexer(std::string* out) : out_(out) {}

  // Throws EngineError for a header that no frame starts with.
  void feed(std::string_view piece);

  // Whether the stream fed so far ends between frames (a cut-off stream does not).
  bool at_frame_end() const noexcept { return header_size_ == 0 && payload_left_ == 0; }

 private:
  std::string* out_;
  std::array<unsigned char, 8> header_{};
  std::size_t header_size_ = 0;     // header bytes seen of the frame being read
  std::uint32_t payload_left_ = 0;  // payload bytes still to come of the current frame
};

}  // namespace velmora::boxwright::engine
