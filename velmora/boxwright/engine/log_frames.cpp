#include "velmora/boxwright/engine/log_frames.hpp"

#include <algorithm>

#include "velmora/boxwright/engine/engine_error.hpp"

namespace velmora::boxwright::engine {

void LogDemultiplexer::feed(std::string_view piece) {
  while (!piece.empty()) {
    if (payload_left_ > 0) {
      const std::size_t n = std::min<std::size_t>(payload_left_, piece.size());
      out_(piece.substr(0, n));
      piece.remove_prefix(n);
      payload_left_ -= static_cast<std::uint32_t>(n);
      continue;
    }
    const std::size_t n = std::min(header_.size() - header_size_, piece.size());
    std::copy_n(piece.begin(), n, header_.begin() + static_cast<std::ptrdiff_t>(header_size_));
    header_size_ += n;
    piece.remove_prefix(n);
    if (header_size_ < header_.size()) return;

    header_size_ = 0;
    if (header_[0] > 2 || header_[1] != 0 || header_[2] != 0 || header_[3] != 0)
      throw EngineError(kLogAnswerStatus,
                        "the engine's log stream holds a malformed frame header");
    payload_left_ = std::uint32_t{header_[4]} << 24 | std::uint32_t{header_[5]} << 16 |
                    std::uint32_t{header_[6]} << 8 | std::uint32_t{header_[7]};
  }
}

}  // namespace velmora::boxwright::engine
