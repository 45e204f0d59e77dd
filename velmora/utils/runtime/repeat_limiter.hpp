#pragma once
// Which of a stream of repeated messages to write: the first of each distinct text, then the same
// text again only once a window has passed since it was last let through. Remembers only the texts
// let through within the last window. One thread uses it at a time.

#include <chrono>
#include <map>
#include <string>

namespace velmora::utils {

class RepeatLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RepeatLimiter(Clock::duration window) : window_(window) {}

  // Whether text, met at now, is let through. now must not go back between calls.
  bool admit(const std::string& text, Clock::time_point now);

 private:
  const Clock::duration window_;
  std::map<std::string, Clock::time_point> let_through_;  // text to when it was last let through
};

}  // namespace velmora::utils
