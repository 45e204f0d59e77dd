#pragma once
// The answers a connection has yet to write: bytes of their own (heads, bodies made for their
// request), with kept bodies between them, which are written from where they are kept and never
// copied. One thread at a time uses it.

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "velmora/daemon/server/api_exchange.hpp"

namespace velmora::daemon {

class AnswerOutput {
 public:
  // The own bytes, where answers are written: after every kept body appended so far. Only bytes
  // after those may be changed.
  std::string& bytes() noexcept { return own_; }
  // body goes out after the own bytes written so far.
  void append(KeptText body);

  bool empty() const noexcept { return kept_.empty() && own_sent_ == own_.size(); }
  std::size_t size() const noexcept;  // of what is still to write
  // The next bytes to write, in one piece; empty when all have gone.
  std::string_view unwritten() const noexcept;
  // The first n bytes of unwritten() have gone. A kept body is let go once it has gone, the own
  // bytes are emptied once all have (their buffer stays).
  void written(std::size_t n) noexcept;

 private:
  struct Kept {
    std::size_t after;  // goes after own_[0, after)
    KeptText body;      // never empty
  };

  std::string own_;
  std::size_t own_sent_ = 0;
  std::deque<Kept> kept_;
  std::size_t kept_sent_ = 0;  // of kept_.front()
};

}  // namespace velmora::daemon
